// Our video-port constants and routine declarations against the DDK's
// video.h (see ntddk_values.cpp for how values and routines are kept under
// Our_ names before the DDK headers are read).

namespace ours
{
#include "kvr_platform.h"
} // namespace ours

#include "abi_check.h"

#define KVR_VIDEO_CONSTANTS(X)                                                                     \
    X(NO_ERROR)                                                                                    \
    X(ERROR_INVALID_FUNCTION)                                                                      \
    X(ERROR_INSUFFICIENT_BUFFER)                                                                   \
    X(ERROR_NO_MORE_DEVICES)                                                                       \
    X(DISPLAY_ADAPTER_HW_ID)

#define KVR_VIDEO_ROUTINES(X)                                                                      \
    X(VideoPortInitialize)                                                                         \
    X(VideoPortZeroMemory)

KVR_VIDEO_CONSTANTS(KVR_CAPTURE_CONSTANT)
KVR_VIDEO_ROUTINES(KVR_CAPTURE_ROUTINE)

#define VideoPortInitialize Ddk_VideoPortInitialize
#define VideoPortZeroMemory Ddk_VideoPortZeroMemory

#include <ntdef.h>
#include <dderror.h>
#include <miniport.h>
#include <video.h>

KVR_VIDEO_CONSTANTS(KVR_COMPARE_CONSTANT)
KVR_VIDEO_ROUTINES(KVR_COMPARE_ROUTINE)
