// DrvEscape: the route by which a program on the frame's display reaches the
// miniport's nine control codes through ExtEscape.

#ifndef KVR_DISPLAY_ESCAPE_H
#define KVR_DISPLAY_ESCAPE_H

#include "../device/device.h"

// What DrvEscape returns for a refusal: -1 to ExtEscape.
constexpr ULONG EscapeRefused = 0xFFFFFFFF;

extern "C" ULONG DrvEscape(SURFOBJ *pso, ULONG iEsc, ULONG cjIn, PVOID pvIn, ULONG cjOut,
                           PVOID pvOut);

#endif // KVR_DISPLAY_ESCAPE_H
