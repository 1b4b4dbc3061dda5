// The usbd library image: walking configuration descriptors and building
// select-configuration requests. Drivers link it (IMAGES ... usbd); it
// takes its memory from the kernel's non-paged pool like the platform's.

#include <usbdlib.h>

#include <cstddef>

namespace {

// The library's pool tag; callers free its URBs with ExFreePool.
constexpr ULONG kUsbdTag = 'DBSU';  // "USBD" in memory

}  // namespace

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (VersionInformation == NULL)
        return;
    VersionInformation->USBDI_Version = 0x500;
    VersionInformation->Supported_USB_Version = 0x200;
}

// Stops at a descriptor that claims fewer than two bytes or runs past the
// end, as such a set cannot be walked further.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    const auto *begin = static_cast<const UCHAR *>(DescriptorBuffer);
    const UCHAR *end = begin + TotalLength;
    auto *p = static_cast<UCHAR *>(StartPosition);
    if (p < begin)
        return NULL;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto *c = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (c->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + c->bLength > end)
            return NULL;
        if (c->bDescriptorType == DescriptorType)
            return c;
        p += c->bLength;
    }
    return NULL;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == NULL)
        return NULL;
    PVOID start = StartPosition;
    for (;;) {
        auto *id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, start, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (id == NULL)
            return NULL;
        if (id->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || id->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || id->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || id->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || id->bInterfaceProtocol == InterfaceProtocol))
            return id;
        start = reinterpret_cast<UCHAR *>(id) + id->bLength;
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd)
{
    auto *p = reinterpret_cast<UCHAR *>(InterfaceDescriptor);
    ULONG length = 0;
    bool first = true;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= BufferEnd) {
        auto *c = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (c->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + c->bLength > BufferEnd)
            break;
        if (!first && c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        first = false;
        length += c->bLength;
        p += c->bLength;
    }
    return length;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == NULL || InterfaceList == NULL)
        return NULL;
    std::size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != NULL; e++)
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    // The URB must hold at least the structure itself, whose Interface
    // member the platform's helpers read even for a configuration without
    // interfaces.
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF)
        return NULL;  // Hdr.Length cannot say it

    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == NULL)
        return NULL;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto *next = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != NULL; e++) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        const UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (UCHAR k = 0; k < pipes; k++) {
            info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[k].PipeFlags = 0;
        }
        e->Interface = info;
        next += info->Length;
    }
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    if (Siz != NULL)
        *Siz = 0;
    if (ConfigurationDescriptor == NULL)
        return NULL;
    // One entry per interface, alternate setting 0, plus the terminator.
    const ULONG interfaces = ConfigurationDescriptor->bNumInterfaces;
    const SIZE_T listSize = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto *list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPool, listSize, kUsbdTag));
    if (list == NULL)
        return NULL;
    RtlZeroMemory(list, listSize);
    ULONG found = 0;
    PVOID start = ConfigurationDescriptor;
    while (found < interfaces) {
        PUSB_INTERFACE_DESCRIPTOR id =
            USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, start, -1, 0, -1, -1, -1);
        if (id == NULL)
            break;
        list[found++].InterfaceDescriptor = id;
        start = reinterpret_cast<UCHAR *>(id) + id->bLength;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    ExFreePoolWithTag(list, kUsbdTag);
    if (urb != NULL && Siz != NULL)
        *Siz = urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
