/* ntddk.h - the kernel interfaces beyond wdm.h; the stand-in keeps them all in wdm.h. */
#ifndef NORVANE_SIM_NTDDK_H
#define NORVANE_SIM_NTDDK_H
#include <wdm.h>
#endif
