// The registry: an in-memory tree of keys with typed values, and the calls
// drivers read it with (ZwOpenKey, ZwQueryValueKey).
//
// Keys are kept in one map by their full path, folded to upper case, since
// the registry compares names without regard to case; a key's parents
// always exist. A key handle holds the key node itself, so a key deleted
// under an open handle is seen as deleted (STATUS_KEY_DELETED) rather than
// as some later key of the same name.

#include "machine_internal.h"

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

using sim::VerifierFault;
using sim::kernel::FoldCase;
using sim::kernel::Widen;
using sim::machine::HandleKind;
using sim::machine::registry::Value;

namespace {

struct NamedValue {
    std::u16string name;  // as it was set
    Value value;
};

struct KeyNode : sim::kernel::KernelObject {
    std::u16string path;  // as it was created
    std::map<std::u16string, NamedValue> values;  // by folded name
    bool deleted = false;
};

struct Registry {
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<KeyNode>> keys;  // by folded path
};

// Splits a path into its names; false when a name is empty (a doubled,
// leading or trailing separator).
bool SplitPath(const std::u16string &path, std::vector<std::u16string> *names)
{
    names->clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t sep = path.find(u'\\', start);
        const std::u16string name = path.substr(start, sep == std::u16string::npos ? sep : sep - start);
        if (name.empty())
            return false;
        names->push_back(name);
        if (sep == std::u16string::npos)
            return true;
        start = sep + 1;
    }
}

std::u16string JoinPath(const std::vector<std::u16string> &names, std::size_t count)
{
    std::u16string out;
    for (std::size_t i = 0; i < count; i++)
        out += u"\\" + names[i];
    return out;
}

// Caller holds the lock. Creates the key and the missing keys above it.
std::shared_ptr<KeyNode> CreateLocked(Registry &r, const std::vector<std::u16string> &names)
{
    std::shared_ptr<KeyNode> node;
    for (std::size_t n = 1; n <= names.size(); n++) {
        const std::u16string path = JoinPath(names, n);
        auto &slot = r.keys[FoldCase(path)];
        if (slot == nullptr) {
            slot = std::make_shared<KeyNode>();
            slot->path = path;
        }
        node = slot;
    }
    return node;
}

// Caller holds the lock.
bool DeleteLocked(Registry &r, const std::u16string &folded)
{
    auto it = r.keys.find(folded);
    if (it == r.keys.end())
        return false;
    const std::u16string below = folded + u"\\";
    while (it != r.keys.end() && (it->first == folded || it->first.compare(0, below.size(), below) == 0)) {
        it->second->deleted = true;
        it = r.keys.erase(it);
    }
    return true;
}

void MakeFresh(Registry &r)
{
    for (auto &kv : r.keys)
        kv.second->deleted = true;
    r.keys.clear();
    std::vector<std::u16string> names;
    SplitPath(Widen(sim::machine::kWindowsKey).substr(1), &names);
    CreateLocked(r, names);
}

Registry &TheRegistry()
{
    static Registry *r = [] {
        auto *fresh = new Registry;  // lives until process exit
        MakeFresh(*fresh);
        return fresh;
    }();
    return *r;
}

// Test-side paths: absolute, names not empty.
std::vector<std::u16string> TestPath(const std::string &path)
{
    std::vector<std::u16string> names;
    if (path.empty() || path[0] != '\\' || !SplitPath(Widen(path).substr(1), &names))
        throw std::invalid_argument("not an absolute registry path: \"" + path + "\"");
    return names;
}

std::u16string FoldedTestPath(const std::string &path)
{
    return FoldCase(JoinPath(TestPath(path), TestPath(path).size()));
}

// The layouts of the two answers drivers' headers do not declare; fixed
// parts as the platform lays them out.
struct KeyValueBasicAnswer {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
};
struct KeyValueFullAnswer {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
};

constexpr ULONG kPartialFixed = ULONG(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
constexpr ULONG kBasicFixed = ULONG(offsetof(KeyValueBasicAnswer, Name));
constexpr ULONG kFullFixed = ULONG(offsetof(KeyValueFullAnswer, Name));

// Copies what fits of bytes into the answer at offset; false when some of
// it did not fit.
bool CopyPart(UCHAR *answer, ULONG length, ULONG offset, const void *bytes, ULONG size)
{
    if (offset >= length)
        return size == 0;
    const ULONG room = length - offset;
    std::memcpy(answer + offset, bytes, size < room ? size : room);
    return size <= room;
}

}  // namespace

namespace sim::machine {

void Reset()
{
    {
        Registry &r = TheRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        MakeFresh(r);
    }
    SetOs(kDefaultOs);
}

namespace registry {

void CreateKey(const std::string &path)
{
    const auto names = TestPath(path);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    CreateLocked(r, names);
}

bool DeleteKey(const std::string &path)
{
    const std::u16string folded = FoldedTestPath(path);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    return DeleteLocked(r, folded);
}

bool KeyExists(const std::string &path)
{
    const std::u16string folded = FoldedTestPath(path);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.keys.count(folded) != 0;
}

void SetValue(const std::string &key, const std::string &name, ULONG type, std::vector<UCHAR> data)
{
    const auto names = TestPath(key);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    std::shared_ptr<KeyNode> node = CreateLocked(r, names);
    node->values[FoldCase(Widen(name))] = NamedValue{Widen(name), Value{type, std::move(data)}};
}

void SetDword(const std::string &key, const std::string &name, ULONG value)
{
    std::vector<UCHAR> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    SetValue(key, name, REG_DWORD, std::move(data));
}

void SetString(const std::string &key, const std::string &name, const std::string &text)
{
    const std::u16string wide = Widen(text) + u'\0';
    std::vector<UCHAR> data(wide.size() * sizeof(char16_t));
    std::memcpy(data.data(), wide.data(), data.size());
    SetValue(key, name, REG_SZ, std::move(data));
}

bool DeleteValue(const std::string &key, const std::string &name)
{
    const std::u16string folded = FoldedTestPath(key);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.keys.find(folded);
    return it != r.keys.end() && it->second->values.erase(FoldCase(Widen(name))) != 0;
}

std::optional<Value> GetValue(const std::string &key, const std::string &name)
{
    const std::u16string folded = FoldedTestPath(key);
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.keys.find(folded);
    if (it == r.keys.end())
        return std::nullopt;
    auto v = it->second->values.find(FoldCase(Widen(name)));
    if (v == it->second->values.end())
        return std::nullopt;
    return v->second.value;
}

}  // namespace registry
}  // namespace sim::machine

extern "C" {

// PASSIVE_LEVEL. The name is absolute ("\REGISTRY\...") without a root
// directory, or relative to the key RootDirectory is a handle of. Access
// rights are recorded, not checked: a kernel-mode caller's handle grants
// what it asked for.
NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    const void *caller = __builtin_return_address(0);
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == NULL || ObjectAttributes == NULL)
        VerifierFault("NULL_POINTER_ARGUMENT", "ZwOpenKey(%p, 0x%X, %p): the handle and the object attributes are "
                      "required", static_cast<void *>(KeyHandle), DesiredAccess, static_cast<void *>(ObjectAttributes));
    // OBJ_INHERIT ... OBJ_KERNEL_HANDLE and OBJ_FORCE_ACCESS_CHECK.
    constexpr ULONG kValidAttributes = 0x7F2;
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) || (ObjectAttributes->Attributes & ~kValidAttributes))
        return STATUS_INVALID_PARAMETER;
    PUNICODE_STRING objectName = ObjectAttributes->ObjectName;
    if (objectName != NULL && (objectName->Length % sizeof(WCHAR) != 0 || objectName->Length > objectName->MaximumLength))
        return STATUS_OBJECT_NAME_INVALID;
    const std::u16string name = sim::machine::StringOf(objectName);

    std::shared_ptr<KeyNode> root;
    if (ObjectAttributes->RootDirectory != NULL) {
        NTSTATUS status;
        root = std::static_pointer_cast<KeyNode>(
            sim::kernel::ReferenceHandle(ObjectAttributes->RootDirectory, HandleKind::Key, "ZwOpenKey", &status));
        if (root == nullptr)
            return status;
    }

    std::u16string path;
    if (root != nullptr) {
        if (!name.empty() && name[0] == u'\\')
            return sim::machine::kStatusObjectPathSyntaxBad;
        path = name.empty() ? std::u16string() : u"\\" + name;
    } else {
        if (name.empty())
            return STATUS_OBJECT_NAME_INVALID;
        if (name[0] != u'\\')
            return sim::machine::kStatusObjectPathSyntaxBad;
        path = name;
    }
    std::vector<std::u16string> names;
    if (!path.empty() && !SplitPath(path.substr(1), &names))
        return STATUS_OBJECT_NAME_INVALID;

    std::shared_ptr<KeyNode> node;
    {
        Registry &r = TheRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        if (root != nullptr && root->deleted)
            return sim::machine::kStatusKeyDeleted;
        const std::u16string full = (root != nullptr ? root->path : std::u16string()) + JoinPath(names, names.size());
        auto it = r.keys.find(FoldCase(full));
        if (it == r.keys.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        node = it->second;
    }
    NTSTATUS status;
    HANDLE handle = sim::kernel::CreateHandle(HandleKind::Key, node, node->path, ObjectAttributes->Attributes,
                                              DesiredAccess, caller, "ZwOpenKey", &status);
    if (handle == NULL)
        return status;
    *KeyHandle = handle;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. *ResultLength is always the size the whole answer needs.
// A buffer shorter than the answer's fixed part gets nothing and
// STATUS_BUFFER_TOO_SMALL; one that holds the fixed part but not all of
// the name and data gets the fixed part and what fits, and
// STATUS_BUFFER_OVERFLOW. In the full answer the data follows the name at
// the next 4-byte boundary (DataOffset).
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (ValueName == NULL || ResultLength == NULL || (KeyValueInformation == NULL && Length != 0))
        VerifierFault("NULL_POINTER_ARGUMENT",
                      "ZwQueryValueKey(%p, %p, %d, %p, %u, %p): the value name, the answer buffer (when Length "
                      "is not 0) and the result length are required",
                      KeyHandle, static_cast<void *>(ValueName), int(KeyValueInformationClass),
                      KeyValueInformation, Length, static_cast<void *>(ResultLength));
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
    case KeyValueFullInformation:
    case KeyValuePartialInformation:
        break;
    case KeyValueFullInformationAlign64:
    case KeyValuePartialInformationAlign64:
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "ZwQueryValueKey: information class %d is not implemented",
                      int(KeyValueInformationClass));
    default:
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    auto node = std::static_pointer_cast<KeyNode>(
        sim::kernel::ReferenceHandle(KeyHandle, HandleKind::Key, "ZwQueryValueKey", &status));
    if (node == nullptr)
        return status;

    NamedValue value;
    {
        Registry &r = TheRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        if (node->deleted)
            return sim::machine::kStatusKeyDeleted;
        auto it = node->values.find(FoldCase(sim::machine::StringOf(ValueName)));
        if (it == node->values.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        value = it->second;
    }

    auto *answer = static_cast<UCHAR *>(KeyValueInformation);
    const ULONG nameLength = ULONG(value.name.size() * sizeof(WCHAR));
    const ULONG dataLength = ULONG(value.value.data.size());
    const UCHAR *data = value.value.data.data();
    bool complete;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
        *ResultLength = kBasicFixed + nameLength;
        if (Length < kBasicFixed)
            return STATUS_BUFFER_TOO_SMALL;
        const KeyValueBasicAnswer fixed{0, value.value.type, nameLength, {}};
        std::memcpy(answer, &fixed, kBasicFixed);
        complete = CopyPart(answer, Length, kBasicFixed, value.name.data(), nameLength);
        break;
    }
    case KeyValueFullInformation: {
        const ULONG dataOffset = ULONG(ALIGN_UP_BY(kFullFixed + nameLength, sizeof(ULONG)));
        *ResultLength = dataOffset + dataLength;
        if (Length < kFullFixed)
            return STATUS_BUFFER_TOO_SMALL;
        const KeyValueFullAnswer fixed{0, value.value.type, dataOffset, dataLength, nameLength, {}};
        std::memcpy(answer, &fixed, kFullFixed);
        complete = CopyPart(answer, Length, kFullFixed, value.name.data(), nameLength);
        complete = CopyPart(answer, Length, dataOffset, data, dataLength) && complete;
        break;
    }
    default: {
        *ResultLength = kPartialFixed + dataLength;
        if (Length < kPartialFixed)
            return STATUS_BUFFER_TOO_SMALL;
        const KEY_VALUE_PARTIAL_INFORMATION fixed{0, value.value.type, dataLength, {}};
        std::memcpy(answer, &fixed, kPartialFixed);
        complete = CopyPart(answer, Length, kPartialFixed, data, dataLength);
        break;
    }
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // extern "C"
