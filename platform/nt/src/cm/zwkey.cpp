// The Zw* registry routines. Each runs at PASSIVE_LEVEL, references its key
// object for the length of the call, and leaves the rest to the store.
#include "cm/cmp.h"

#include <vlm/kernel.h>

using namespace vlm::nt;
using namespace vlm::nt::cm;

namespace {

// The store, or STATUS_DEVICE_NOT_READY while the kernel is not running.
NTSTATUS OpenStore(const char* routine, std::shared_ptr<Store>* store)
{
    *store = CmpStore();
    if (*store)
        return STATUS_SUCCESS;
    DbgPrint("CM: %s called while the registry is closed\n", routine);
    return STATUS_DEVICE_NOT_READY;
}

// The store and the key object of a handle, both held for one call.
NTSTATUS BeginKeyCall(const char* routine, HANDLE handle, std::shared_ptr<Store>* store, KeyReference* key)
{
    if (NTSTATUS status = OpenStore(routine, store); !NT_SUCCESS(status))
        return status;
    return key->Acquire(handle);
}

std::string ValueNameOf(PUNICODE_STRING name)
{
    if (!name || !name->Buffer)
        return {};
    return WideToUtf8(name->Buffer, name->Length / sizeof(WCHAR));
}

bool ValidValueName(PUNICODE_STRING name)
{
    return name && (name->Buffer || name->Length == 0) && name->Length % sizeof(WCHAR) == 0;
}

NTSTATUS OpenOrCreate(const char* routine, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
        POBJECT_ATTRIBUTES objectAttributes, const CreateOptions* create, PULONG disposition)
{
    if (!keyHandle)
        return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    std::shared_ptr<Store> store;
    if (NTSTATUS status = OpenStore(routine, &store); !NT_SUCCESS(status))
        return status;
    KeyReference root;
    KeyId base;
    std::vector<std::string> path;
    if (NTSTATUS status = CmpParseObjectAttributes(*store, objectAttributes, &root, &base, &path); !NT_SUCCESS(status))
        return status;
    KeyId key;
    bool created = false;
    StoreStatus result =
            create ? store->CreateKey(base, path, *create, &key, &created) : store->OpenKey(base, path, &key);
    if (result != StoreStatus::Ok)
        return CmpStatus(result, routine);
    if (NTSTATUS status = CmpOpenKeyHandle(key, desiredAccess, keyHandle); !NT_SUCCESS(status))
        return status;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
        ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    CmpCheckIrql();
    // Links, backup-restore opens and the like are not part of this registry.
    if (CreateOptions & ~ULONG(REG_OPTION_VOLATILE))
        return STATUS_INVALID_PARAMETER;
    cm::CreateOptions options;
    options.isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    if (Class && Class->Length) {
        if (!Class->Buffer || Class->Length % sizeof(WCHAR))
            return STATUS_INVALID_PARAMETER;
        options.className = WideToUtf8(*Class);
    }
    return OpenOrCreate("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, &options, Disposition);
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    CmpCheckIrql();
    return OpenOrCreate("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, nullptr, nullptr);
}

extern "C" NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
        ULONG Length, PULONG ResultLength)
{
    CmpCheckIrql();
    if (!ResultLength)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwQueryKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;

    if (KeyInformationClass == KeyNameInformation) {
        std::string path;
        if (StoreStatus result = store->KeyPath(key.Id(), &path); result != StoreStatus::Ok)
            return CmpStatus(result, "ZwQueryKey");
        return CmpFillKeyName(path, KeyInformation, Length, ResultLength);
    }
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
            KeyInformationClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    KeyRecord record;
    if (StoreStatus result = store->QueryKey(key.Id(), &record); result != StoreStatus::Ok)
        return CmpStatus(result, "ZwQueryKey");
    KeyCounts counts;
    if (KeyInformationClass == KeyFullInformation) {
        if (StoreStatus result = store->QueryCounts(key.Id(), &counts); result != StoreStatus::Ok)
            return CmpStatus(result, "ZwQueryKey");
    }
    return CmpFillKeyInformation(KeyInformationClass, record, &counts, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    CmpCheckIrql();
    if (!ResultLength)
        return STATUS_INVALID_PARAMETER;
    // A subkey's full path is not offered by enumeration.
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
            KeyInformationClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwEnumerateKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    KeyRecord record;
    if (StoreStatus result = store->EnumerateKey(key.Id(), Index, &record); result != StoreStatus::Ok)
        return CmpStatus(result, "ZwEnumerateKey");
    KeyCounts counts;
    if (KeyInformationClass == KeyFullInformation) {
        StoreStatus result = store->QueryCounts(record.id, &counts);
        // The subkey went between the two reads: as if enumerated a moment later.
        if (result == StoreStatus::KeyDeleted)
            return STATUS_NO_MORE_ENTRIES;
        if (result != StoreStatus::Ok)
            return CmpStatus(result, "ZwEnumerateKey");
    }
    return CmpFillKeyInformation(KeyInformationClass, record, &counts, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
        PULONG ResultLength)
{
    CmpCheckIrql();
    if (!ResultLength)
        return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValueFullInformation &&
            KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwEnumerateValueKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    ValueRecord value;
    if (StoreStatus result = store->EnumerateValue(key.Id(), Index, &value); result != StoreStatus::Ok)
        return CmpStatus(result, "ZwEnumerateValueKey");
    return CmpFillValueInformation(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
        PULONG ResultLength)
{
    CmpCheckIrql();
    if (!ResultLength || !ValidValueName(ValueName))
        return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValueFullInformation &&
            KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwQueryValueKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    ValueRecord value;
    if (StoreStatus result = store->QueryValue(key.Id(), ValueNameOf(ValueName), &value); result != StoreStatus::Ok)
        return CmpStatus(result, "ZwQueryValueKey");
    return CmpFillValueInformation(KeyValueInformationClass, value, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(
        HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize)
{
    CmpCheckIrql();
    if (!ValidValueName(ValueName) || (DataSize && !Data))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwSetValueKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    return CmpStatus(store->SetValue(key.Id(), ValueNameOf(ValueName), Type, Data, DataSize), "ZwSetValueKey");
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    CmpCheckIrql();
    if (!ValidValueName(ValueName))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwDeleteValueKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    return CmpStatus(store->DeleteValue(key.Id(), ValueNameOf(ValueName)), "ZwDeleteValueKey");
}

extern "C" NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    CmpCheckIrql();
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwDeleteKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    return CmpStatus(store->DeleteKey(key.Id()), "ZwDeleteKey");
}

extern "C" NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    CmpCheckIrql();
    std::shared_ptr<Store> store;
    KeyReference key;
    if (NTSTATUS status = BeginKeyCall("ZwFlushKey", KeyHandle, &store, &key); !NT_SUCCESS(status))
        return status;
    KeyRecord record;
    if (StoreStatus result = store->QueryKey(key.Id(), &record); result != StoreStatus::Ok)
        return CmpStatus(result, "ZwFlushKey");
    return CmpStatus(store->Flush(), "ZwFlushKey");
}
