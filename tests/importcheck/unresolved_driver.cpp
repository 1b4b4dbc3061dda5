// Calls a routine no image exports: linking it as a driver must fail.
#include "icheck.h"

extern "C" int IcNotExported(int value);

extern "C" __attribute__((visibility("default"))) long DriverEntry(IcRequest* request, long)
{
    request->scaled = IcNotExported(request->value);
    return 0;
}
