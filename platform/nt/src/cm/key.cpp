// Key objects, native paths, and the registry's start and stop.
#include "cm/cmp.h"

#include "kernel.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

namespace vlm::nt::cm {
namespace {

struct OpenRegistry {
    std::mutex lock;  // guards store (the pointer; the Store serialises itself)
    std::shared_ptr<Store> store;
};

OpenRegistry& Registry()
{
    static OpenRegistry* registry = new OpenRegistry;  // immortal: handles may be closed during exit
    return *registry;
}

// Components of a name between separators; empty ones are skipped.
template <typename Char>
std::vector<std::basic_string_view<Char>> SplitPath(std::basic_string_view<Char> name)
{
    std::vector<std::basic_string_view<Char>> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(Char('\\'), start);
        if (end == name.npos)
            end = name.size();
        if (end > start)
            parts.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

POBJECT_TYPE CmpKeyType()
{
    static POBJECT_TYPE type = ob::CreateObjectType(ob::TypeInitializer{"Key"});
    return type;
}

std::shared_ptr<Store> CmpStore()
{
    auto& registry = Registry();
    std::lock_guard guard(registry.lock);
    return registry.store;
}

void CmpCheckIrql()
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)));
}

NTSTATUS CmpStatus(StoreStatus status, const char* routine)
{
    switch (status) {
    case StoreStatus::Ok:
        return STATUS_SUCCESS;
    case StoreStatus::NotFound:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case StoreStatus::KeyDeleted:
        return STATUS_KEY_DELETED;
    case StoreStatus::HasSubkeys:
        return STATUS_CANNOT_DELETE;
    case StoreStatus::Protected:
        return STATUS_CANNOT_DELETE;
    case StoreStatus::AccessDenied:
        return STATUS_ACCESS_DENIED;
    case StoreStatus::NameInvalid:
        return STATUS_OBJECT_NAME_INVALID;
    case StoreStatus::ParameterInvalid:
        return STATUS_INVALID_PARAMETER;
    case StoreStatus::NoMoreEntries:
        return STATUS_NO_MORE_ENTRIES;
    case StoreStatus::IoError:
        break;
    }
    DbgPrint("CM: %s: registry store failed: %s\n", routine, Store::LastError().c_str());
    return STATUS_REGISTRY_IO_FAILED;
}

KeyReference::~KeyReference()
{
    if (object_)
        ob::DereferenceInternal(object_);
}

NTSTATUS KeyReference::Acquire(HANDLE handle)
{
    if (object_) {
        ob::DereferenceInternal(object_);
        object_ = nullptr;
    }
    return ob::ReferenceByHandleInternal(handle, CmpKeyType(), &object_);
}

NTSTATUS CmpOpenKeyHandle(KeyId id, ACCESS_MASK access, PHANDLE handle)
{
    PVOID object;
    NTSTATUS status = ob::CreateObject(CmpKeyType(), sizeof(KeyObject), &object);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<KeyObject*>(object)->id = id;
    status = ob::OpenObjectByPointer(object, access, handle);
    ob::DereferenceInternal(object);  // the handle holds its own reference
    return status;
}

NTSTATUS CmpParseObjectAttributes(const Store& store, POBJECT_ATTRIBUTES attributes, KeyReference* root, KeyId* base,
        std::vector<std::string>* path)
{
    if (!attributes)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view name;
    if (PUNICODE_STRING objectName = attributes->ObjectName) {
        if (objectName->Length % sizeof(WCHAR) || (objectName->Length && !objectName->Buffer))
            return STATUS_OBJECT_NAME_INVALID;
        name = {reinterpret_cast<const char16_t*>(objectName->Buffer), objectName->Length / sizeof(WCHAR)};
    }
    auto parts = SplitPath(name);
    if (attributes->RootDirectory) {
        if (NTSTATUS status = root->Acquire(attributes->RootDirectory); !NT_SUCCESS(status))
            return status;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *base = root->Id();
    } else {
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        // Keys live under \REGISTRY only; any other object name is not a key.
        if (parts.empty() || ob::FoldName(parts[0]) != u"REGISTRY")
            return STATUS_OBJECT_NAME_NOT_FOUND;
        parts.erase(parts.begin());
        *base = store.Root();
    }
    path->clear();
    for (auto part : parts) {
        if (part.size() > kMaxKeyNameChars)
            return STATUS_OBJECT_NAME_INVALID;
        path->push_back(WideToUtf8(reinterpret_cast<PCWSTR>(part.data()), part.size()));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmpParseNativePath(
        const Store& store, std::string_view path, KeyId* base, std::vector<std::string>* components)
{
    if (path.empty() || path[0] != '\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    auto parts = SplitPath(path);
    if (parts.empty() || FoldName(parts[0]) != "REGISTRY")
        return STATUS_OBJECT_NAME_NOT_FOUND;
    components->clear();
    for (size_t i = 1; i < parts.size(); ++i) {
        if (Utf16Length(parts[i]) > kMaxKeyNameChars)
            return STATUS_OBJECT_NAME_INVALID;
        components->emplace_back(parts[i]);
    }
    *base = store.Root();
    return STATUS_SUCCESS;
}

}  // namespace vlm::nt::cm

namespace vlm::nt {

NTSTATUS CmInitSystem(const std::string& systemRoot)
{
    std::error_code error;
    std::filesystem::create_directories(systemRoot, error);
    if (error) {
        DbgPrint("CM: cannot create system root %s: %s\n", systemRoot.c_str(), error.message().c_str());
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    cm::CmpKeyType();
    std::unique_ptr<cm::Store> store;
    cm::StoreStatus status = cm::Store::Open(systemRoot + "/registry.db", &store);
    if (status == cm::StoreStatus::Ok)
        status = store->ResetVolatile();
    if (status != cm::StoreStatus::Ok) {
        // The kernel does not start on a registry it cannot trust or read;
        // whoever started it is told which file and why, not only a status.
        fprintf(stderr, "kernel: cannot use the registry: %s\n", cm::Store::LastError().c_str());
        return status == cm::StoreStatus::AccessDenied ? STATUS_ACCESS_DENIED : STATUS_REGISTRY_IO_FAILED;
    }
    auto& registry = cm::Registry();
    std::lock_guard guard(registry.lock);
    registry.store = std::move(store);
    return STATUS_SUCCESS;
}

void CmShutdownSystem()
{
    std::shared_ptr<cm::Store> closing;
    {
        auto& registry = cm::Registry();
        std::lock_guard guard(registry.lock);
        closing = std::move(registry.store);
    }
    // The connection closes when the last routine still using it returns.
}

}  // namespace vlm::nt
