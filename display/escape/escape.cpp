// DrvEscape. GDI hands the caller's buffers and lengths over as they came, and
// the caller may be hostile: every length is checked against the code's own
// record sizes before a byte is touched, only the bytes the code needs are
// forwarded, and only the bytes the miniport returned are written back.
//
// Return values: 0 for an escape this driver does not support; on success the
// number of output bytes written plus one (1 for a code with no output); on a
// refusal (the miniport's, or a length too short) 0xFFFFFFFF, the caller's
// output untouched.

#include "escape.h"

namespace
{

// The bytes of one code's request: the least input, the most input that is
// forwarded, and the output the miniport writes.
struct ESCAPE_RECORD {
    ULONG Code;
    ULONG LeastInput;
    ULONG MostInput;
    ULONG Output;
};

constexpr ESCAPE_RECORD EscapeRecords[KVR_CONTROL_CODE_COUNT] = {
    {KVR_IOCTL_START_EXTERNAL_SESSION, KVR_SESSION_PARAMS_SIZE, KVR_SESSION_PARAMS_SIZE, 0},
    {KVR_IOCTL_QUERY_ORIENTATION, 0, 0, KVR_ORIENTATION_SIZE},
    {KVR_IOCTL_SET_ORIENTATION, KVR_ORIENTATION_SIZE, KVR_ORIENTATION_SIZE, 0},
    {KVR_IOCTL_ACTIVATE_CLIENT, 0, 0, 0},
    {KVR_IOCTL_QUERY_DISPLAY_MODE, 0, KVR_DISPLAY_MODE_INPUT_MAX, KVR_DISPLAY_MODE_SIZE},
    {KVR_IOCTL_QUERY_POWER_OFF, 0, 0, KVR_FLAG_SIZE},
    {KVR_IOCTL_QUERY_DATA_FILE_PATH, 0, 0, KVR_DATA_FILE_PATH_SIZE},
    {KVR_IOCTL_END_EXTERNAL_SESSION, 0, 0, 0},
    {KVR_IOCTL_QUERY_WIDE_MODEL, 0, 0, KVR_FLAG_SIZE},
};

// The longest output of any code: the reply's room on the stack.
constexpr ULONG LongestOutput = KVR_DATA_FILE_PATH_SIZE;

const ESCAPE_RECORD *FindEscape(ULONG Escape)
{
    for (const ESCAPE_RECORD &Record : EscapeRecords)
        if (Record.Code == KVR_ESCAPE(Escape))
            return &Record;
    return nullptr;
}

// QUERYESCSUPPORT: the escape asked about is a ULONG at pvIn, read a byte at
// a time (the caller's buffer need not be aligned).
ULONG QueryEscapeSupport(ULONG cjIn, const UCHAR *pvIn)
{
    if (cjIn < sizeof(ULONG) || pvIn == nullptr)
        return EscapeRefused;
    ULONG Asked =
        ULONG(pvIn[0]) | ULONG(pvIn[1]) << 8 | ULONG(pvIn[2]) << 16 | ULONG(pvIn[3]) << 24;
    return Asked == QUERYESCSUPPORT || FindEscape(Asked) != nullptr ? 1 : 0;
}

} // namespace

extern "C" ULONG DrvEscape(SURFOBJ *pso, ULONG iEsc, ULONG cjIn, PVOID pvIn, ULONG cjOut,
                           PVOID pvOut)
{
    if (iEsc == QUERYESCSUPPORT)
        return QueryEscapeSupport(cjIn, static_cast<const UCHAR *>(pvIn));
    const ESCAPE_RECORD *Record = FindEscape(iEsc);
    if (Record == nullptr)
        return 0;
    if (cjIn < Record->LeastInput || cjOut < Record->Output)
        return EscapeRefused;
    if ((cjIn != 0 && pvIn == nullptr) || (cjOut != 0 && pvOut == nullptr))
        return EscapeRefused;
    ULONG InputLength = cjIn < Record->MostInput ? cjIn : Record->MostInput;
    const DISPLAY_PDEV *Pdev = reinterpret_cast<const DISPLAY_PDEV *>(pso->dhpdev);
    UCHAR Reply[LongestOutput];
    DWORD Returned = 0;
    DWORD Status =
        EngDeviceIoControl(Pdev->Driver, Record->Code, InputLength ? pvIn : nullptr, InputLength,
                           Record->Output ? Reply : nullptr, Record->Output, &Returned);
    if (Status != 0)
        return EscapeRefused;
    ULONG Copied = Returned < Record->Output ? Returned : Record->Output;
    UCHAR *Output = static_cast<UCHAR *>(pvOut);
    for (ULONG i = 0; i < Copied; ++i)
        Output[i] = Reply[i];
    return Copied + 1;
}
