/* Shared by the stand-in's test drivers and the test that loads them: the
   requests they answer and what the answers look like. Driver code includes
   it, so it uses platform types only. */
#ifndef NVTEST_TEST_DRIVER_H
#define NVTEST_TEST_DRIVER_H

#include <wdm.h>

/* Every test driver answers this request on its one device object. The good
   driver completes it with Information = NVTEST_PING_INFORMATION and writes
   NVTEST_PING_REPLY, and the ULONG it was sent plus one, to the output. */
#define IOCTL_NVTEST_PING CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define NVTEST_PING_INFORMATION (2 * sizeof(ULONG))
#define NVTEST_PING_REPLY 0x4E565431u /* "1TVN" */

/* What the good driver prints from DriverEntry and DriverUnload, so a test
   can tell which of them ran. */
#define NVTEST_ENTRY_MESSAGE "nvtest: DriverEntry\n"
#define NVTEST_UNLOAD_MESSAGE "nvtest: DriverUnload\n"

#endif
