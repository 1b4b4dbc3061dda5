// The platform as the capture minidriver uses it: the stream class, kernel
// streaming and USB interfaces, the build switch, debug output, and the two
// ways a request is handed back to the stream class.
//
// One source makes two drivers: the Windows XP build, and the Windows 2000
// build when NORVANE_WIN2000 is defined to 1.
#pragma once

#include <wdm.h>
#include <strmini.h>
#include <ks.h>
#include <ksmedia.h>
#include <usbdi.h>
#include <usbdlib.h>

#ifndef NORVANE_WIN2000
#define NORVANE_WIN2000 0
#endif

// Verbosity of the debug messages: 1 unusual paths, queue-empty notices and
// the USB configuration dump; 2 state changes, pipe resets and transfer
// errors; 3 per-request and per-packet traces.
extern ULONG DebugLevel;

// Prints when DebugLevel is at least `level`. args is DbgPrint's argument
// list in parentheses.
#define NvDebugPrint(level, args)     \
    do {                              \
        if (DebugLevel >= (level))    \
            DbgPrint args;            \
    } while (0)

// The messages print pointers with %x where the driver has always done so;
// they show the address's low 32 bits, all of it on the 32-bit platform.
#define NV_PTR32(p) ((ULONG)(ULONG_PTR)(p))

// Hands a stream request (control or data) back to the stream class. Do not
// touch the request after this.
FORCEINLINE VOID CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}
