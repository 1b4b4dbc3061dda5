/*
 * usbdlib.h - URB size and build helpers, and the usbd library routines
 * that parse configuration descriptors and create select-configuration
 * requests.
 */
#ifndef NORVANE_SIM_USBDLIB_H
#define NORVANE_SIM_USBDLIB_H

#include <usbdi.h>

/* Interface and pipe list entry of USBD_CreateConfigurationRequestEx: the
 * caller names the interface descriptors; the routine points Interface at
 * each one's information inside the URB it creates. The list ends with an
 * entry whose InterfaceDescriptor is NULL. */
typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

/* ------------------------------------------------------------------ */
/* Sizes of variable-length URBs                                        */
/* Each is the fixed part plus a multiple of the counts, so a count of   */
/* any unsigned type, zero included, gives the right size.              */

/* An isochronous transfer of n packets. */
#define GET_ISO_URB_SIZE(n)                                                       \
    (sizeof(struct _URB_ISOCH_TRANSFER) - sizeof(USBD_ISO_PACKET_DESCRIPTOR) +   \
     (size_t)(n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR))

/* Interface information with numEndpoints pipes (the Length to set). */
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                     \
    (sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +        \
     (size_t)(numEndpoints) * sizeof(USBD_PIPE_INFORMATION))

/* A select-configuration request for totalInterfaces interfaces with
 * totalPipes pipes between them. */
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)           \
    (sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) + \
     (size_t)(totalInterfaces) * GET_USBD_INTERFACE_SIZE(0) +                        \
     (size_t)(totalPipes) * sizeof(USBD_PIPE_INFORMATION))

/* A select-interface request for one interface of totalPipes pipes. */
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                \
    (sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +          \
     (size_t)(totalPipes) * sizeof(USBD_PIPE_INFORMATION))

/* ------------------------------------------------------------------ */
/* Builders. Each fills the members its request needs and leaves the    */
/* others as they are: start from a zeroed URB.                         */

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,           \
                                               transferBufferMDL, transferBufferLength,           \
                                               transferFlags, link)                               \
    do {                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                      \
        (urb)->UrbHeader.Length = (USHORT)(length);                                               \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                        \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                       \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
    do {                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                   \
        (urb)->UrbHeader.Length = (USHORT)(length);                                            \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);       \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                   \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
    do {                                                                                  \
        (urb)->UrbHeader.Function = (op);                                                 \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);         \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);        \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);              \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                               \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)              \
    do {                                                                           \
        (urb)->UrbHeader.Function = (op);                                          \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);     \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);       \
        (urb)->UrbControlFeatureRequest.Index = (index);                           \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                          \
    } while (0)

/* cmd is one of URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_*. */
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)        \
    do {                                                                                            \
        (urb)->UrbHeader.Function = (cmd);                                                          \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                 \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);               \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                    \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                        \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                        \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                        \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                       \
    } while (0)

/* configurationDescriptor NULL puts the device in the unconfigured state. */
#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)    \
    do {                                                                            \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;              \
        (urb)->UrbHeader.Length = (USHORT)(length);                                 \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, \
                                       alternateSetting)                                 \
    do {                                                                                 \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                       \
        (urb)->UrbHeader.Length = (USHORT)(length);                                      \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);       \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);         \
        (urb)->UrbSelectInterface.Interface.Length =                                     \
            (USHORT)((length) - offsetof(struct _URB_SELECT_INTERFACE, Interface));      \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);           \
    } while (0)

/* ------------------------------------------------------------------ */
/* Library routines                                                     */

NV_EXTERN_C_BEGIN

USBDAPI VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

/* The first descriptor of DescriptorType at or after StartPosition within
 * the TotalLength bytes at DescriptorBuffer, or NULL. */
USBDAPI PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                           PVOID StartPosition, LONG DescriptorType);

/* The first interface descriptor at or after StartPosition that matches
 * every argument that is not -1, or NULL. */
USBDAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

/* The older form: interface InterfaceNumber, setting AlternateSetting. */
USBDAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting);

/* Bytes of an interface descriptor with its endpoint and class
 * descriptors, up to the next interface or BufferEnd. */
USBDAPI ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

/* A select-configuration URB from non-paged pool (the caller frees it
 * with ExFreePool) for the listed interfaces, each information sized for
 * its endpoints, with every pipe's MaximumTransferSize at
 * USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE; NULL when out of memory. */
USBDAPI PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                     PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

/* The same for alternate setting 0 of every interface of the
 * configuration; *Siz receives the URB's size. */
USBDAPI PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   PUSHORT Siz);

NV_EXTERN_C_END

#endif /* NORVANE_SIM_USBDLIB_H */
