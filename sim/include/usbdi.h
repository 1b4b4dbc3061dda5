/*
 * usbdi.h - the USB driver interface as a client driver includes it: the
 * URB definitions and the internal device control codes.
 */
#ifndef NORVANE_SIM_USBDI_H
#define NORVANE_SIM_USBDI_H

#include <usb.h>
#include <usbioctl.h>

#endif /* NORVANE_SIM_USBDI_H */
