// Must not compile as kernel code: a driver file that reaches for a host
// header is refused by the cross build's flags.
#include <stdio.h>

int ProbeHostHeader()
{
    return EOF;
}
