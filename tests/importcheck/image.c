/* Plays a platform image for the import check's tests: one export of its
   own, plus the memory routines a real kernel image exports and compilers
   call on their own. */
#include "icheck.h"

int IcImageScale(int value)
{
    return 3 * value + 1;
}
