// Must compile as kernel code: the same flags accept a file that includes only
// the platform header.
#include "platform/kvr_platform.h"

NTSTATUS ProbePlatformHeader()
{
    return NT_SUCCESS(STATUS_SUCCESS) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
