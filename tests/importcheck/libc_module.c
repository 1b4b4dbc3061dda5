/* An ordinary shared object linked with libc: what a driver must not be. */
#include <stdio.h>

int IcLibcGreet(void)
{
    return puts("hello from libc");
}
