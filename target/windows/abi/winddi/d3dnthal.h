// Stand-in for the Direct3D driver interface header that the tool chain's
// winddi.h includes but does not ship. winddi.h uses none of its
// declarations, so the stand-in declares nothing (see ddrawint.h beside it).

#ifndef KVR_ABI_D3DNTHAL_H
#define KVR_ABI_D3DNTHAL_H
#endif // KVR_ABI_D3DNTHAL_H
