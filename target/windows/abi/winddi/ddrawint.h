// Stand-in for the DirectDraw driver interface header that the tool chain's
// winddi.h includes but does not ship. The layout check of the display
// driver's types reads winddi.h for GDIINFO, DEVINFO, DRVENABLEDATA and
// SURFOBJ only; winddi.h names the DirectDraw types below in declarations of
// routines and callback types, always through a pointer, so declaring them is
// enough and no layout of theirs is assumed.

#ifndef KVR_ABI_DDRAWINT_H
#define KVR_ABI_DDRAWINT_H

typedef struct _DD_SURFACE_LOCAL DD_SURFACE_LOCAL, *PDD_SURFACE_LOCAL;
typedef struct _DD_DIRECTDRAW_GLOBAL DD_DIRECTDRAW_GLOBAL;
typedef struct _DD_CALLBACKS DD_CALLBACKS;
typedef struct _DD_SURFACECALLBACKS DD_SURFACECALLBACKS;
typedef struct _DD_PALETTECALLBACKS DD_PALETTECALLBACKS;
typedef struct _DD_HALINFO DD_HALINFO;
typedef struct _VIDEOMEMORY VIDEOMEMORY;

#endif // KVR_ABI_DDRAWINT_H
