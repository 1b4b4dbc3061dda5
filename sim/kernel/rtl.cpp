// Run-time library routines of the kernel image: counted strings and memory
// comparison.

#include "kernel_internal.h"

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    std::size_t chars = 0;
    if (SourceString != NULL)
        while (SourceString[chars] != 0)
            chars++;
    const std::size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF)
        sim::VerifierFault("STRING_TOO_LONG", "RtlInitUnicodeString: %zu characters do not fit a counted string",
                           chars);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = SourceString == NULL ? 0 : USHORT(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    std::size_t chars = 0;
    if (SourceString != NULL)
        while (SourceString[chars] != 0)
            chars++;
    if (chars + 1 > 0xFFFF)
        sim::VerifierFault("STRING_TOO_LONG", "RtlInitAnsiString: %zu characters do not fit a counted string",
                           chars);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    DestinationString->Length = USHORT(chars);
    DestinationString->MaximumLength = SourceString == NULL ? 0 : USHORT(chars + 1);
}

// Characters above 0x7F are taken as Latin-1, the stand-in's ANSI code page.
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    const std::size_t bytes = std::size_t(SourceString->Length) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        sim::hal::RequireIrqlAtMost(APC_LEVEL, "RtlAnsiStringToUnicodeString");
        auto *buffer = static_cast<PWSTR>(sim::kernel::AllocateBlock(
            PagedPool, bytes + sizeof(WCHAR), sim::pool::Tag("Strg"), __builtin_return_address(0),
            "RtlAnsiStringToUnicodeString"));
        if (buffer == NULL)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; i++)
        DestinationString->Buffer[i] = WCHAR(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Length = USHORT(bytes);
    if (DestinationString->MaximumLength >= bytes + sizeof(WCHAR))
        DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != NULL)
        sim::kernel::FreeBlock(UnicodeString->Buffer, "RtlFreeUnicodeString", false, 0);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength;
    RtlCopyMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    auto fold = [CaseInSensitive](WCHAR c) -> int {
        return CaseInSensitive && c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    };
    const std::size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (std::size_t i = 0; i < n1 && i < n2; i++) {
        const int d = fold(String1->Buffer[i]) - fold(String2->Buffer[i]);
        if (d != 0)
            return d;
    }
    return LONG(n1) - LONG(n2);
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto *a = static_cast<const unsigned char *>(Source1), *b = static_cast<const unsigned char *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}

}  // extern "C"
