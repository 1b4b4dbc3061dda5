// DriverEntry without default visibility: under -fvisibility=hidden the
// module then exports nothing and the I/O manager could not find its entry.
#include "icheck.h"

extern "C" long DriverEntry(IcRequest* request, long)
{
    request->scaled = IcImageScale(request->value);
    return 0;
}
