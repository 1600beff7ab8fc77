// The frame buffer: the data file mapped as a GDI-managed surface, or, when
// the miniport refuses its path or the file cannot be mapped, a bitmap the
// engine allocates. Either way GDI draws into it itself.

#ifndef KVR_DISPLAY_SURFACE_H
#define KVR_DISPLAY_SURFACE_H

#include "../device/device.h"

// Creates the primary surface for the PDEV's mode and associates it with the
// device (before DrvEnableSurface returns, as the engine requires). Returns
// null, with nothing left behind, when no surface could be made.
HSURF EnableFrameBuffer(DISPLAY_PDEV *Pdev);

// Deletes the surface and unmaps the file; safe on a PDEV without one.
void DisableFrameBuffer(DISPLAY_PDEV *Pdev);

#endif // KVR_DISPLAY_SURFACE_H
