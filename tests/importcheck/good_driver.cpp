// A driver that keeps to the link boundary: everything it uses comes from
// its image (IcImageScale, memcpy, memset) or from static libgcc.
#include "icheck.h"

// Not exported: the version script and hidden visibility keep it local even
// though it has external linkage.  Kept out of line so the compiler does not
// know the copy length below and calls memcpy rather than inlining the copy.
extern "C" __attribute__((noinline)) unsigned long IcDriverClamp(unsigned long length)
{
    return length > sizeof(IcRequest::target) ? sizeof(IcRequest::target) : length;
}

extern "C" __attribute__((visibility("default"))) long DriverEntry(IcRequest* request, long reserved)
{
    if (request == nullptr || request->divisor == 0 || reserved != 0)
        return -1;

    request->quotient = request->dividend / request->divisor;
    request->remainder = request->dividend % request->divisor;

    const unsigned long length = IcDriverClamp(request->length);
    __builtin_memset(request->target, 0xA5, sizeof(request->target));
    __builtin_memcpy(request->target, request->source, length);

    request->scaled = IcImageScale(request->value);
    return 0;
}
