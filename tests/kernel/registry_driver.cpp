// A test driver that reads the service-pack value in DriverEntry the way a
// driver does: open the key, query into a 20-byte paged block, close.
// Built twice: as is, and with NVTEST_KEEP_KEY_OPEN=1, which forgets the
// ZwClose so that its unload must be stopped.

#include <wdm.h>

namespace {

const ULONG kQueryTag = 'V_PS';

#if NVTEST_KEEP_KEY_OPEN
HANDLE g_forgottenKey;
#endif

NTSTATUS ReadServicePack(ULONG *value)
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, L"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\Control\\Windows");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    NTSTATUS status = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
    if (status != STATUS_SUCCESS)
        return status;

    auto *answer = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, 20, kQueryTag));
    if (answer == NULL) {
        ZwClose(key);
        return STATUS_UNSUCCESSFUL;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"CSDVersion");
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, answer, 20, &resultLength);
    if (status == STATUS_SUCCESS && answer->Type == REG_DWORD && answer->DataLength == sizeof(ULONG))
        RtlCopyMemory(value, answer->Data, sizeof(ULONG));
    ExFreePoolWithTag(answer, kQueryTag);
#if NVTEST_KEEP_KEY_OPEN
    g_forgottenKey = key;
#else
    ZwClose(key);
#endif
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    if (!IoIsWdmVersionAvailable(1, 0x20))
        return STATUS_NOT_SUPPORTED;
    ULONG servicePack = 0;
    const NTSTATUS status = ReadServicePack(&servicePack);
    if (status != STATUS_SUCCESS)
        return status;
    // DriverEntry's status is all a test sees: STATUS_SUCCESS only when the
    // value read was that of service pack 2.
    return servicePack == 0x200 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
