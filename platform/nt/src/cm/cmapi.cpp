// The kernel-internal registry interface (cm.h).
#include "cm/cm.h"

#include "cm/cmp.h"

#include <vlm/kernel.h>

namespace vlm::nt::cm {
namespace {

// Splits UTF-16LE string data at its NULs; a missing final NUL is tolerated.
std::vector<std::string> SplitStrings(const std::vector<uint8_t>& data)
{
    std::vector<std::string> strings;
    std::u16string current;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        auto unit = char16_t(data[i] | data[i + 1] << 8);
        if (unit != 0) {
            current += unit;
            continue;
        }
        if (current.empty())
            break;  // the empty string that ends the list
        strings.push_back(WideToUtf8(reinterpret_cast<PCWSTR>(current.data()), current.size()));
        current.clear();
    }
    if (!current.empty())
        strings.push_back(WideToUtf8(reinterpret_cast<PCWSTR>(current.data()), current.size()));
    return strings;
}

NTSTATUS OpenStore(std::shared_ptr<Store>* store)
{
    *store = CmpStore();
    return *store ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

}  // namespace

NTSTATUS OpenKey(std::string_view nativePath, ACCESS_MASK access, PHANDLE key)
{
    CmpCheckIrql();
    *key = nullptr;
    std::shared_ptr<Store> store;
    if (NTSTATUS status = OpenStore(&store); !NT_SUCCESS(status))
        return status;
    KeyId base, id;
    std::vector<std::string> path;
    if (NTSTATUS status = CmpParseNativePath(*store, nativePath, &base, &path); !NT_SUCCESS(status))
        return status;
    if (StoreStatus result = store->OpenKey(base, path, &id); result != StoreStatus::Ok)
        return CmpStatus(result, "cm::OpenKey");
    return CmpOpenKeyHandle(id, access, key);
}

NTSTATUS CreateKey(std::string_view nativePath, ULONG createOptions, ACCESS_MASK access, PHANDLE key, bool* created)
{
    CmpCheckIrql();
    *key = nullptr;
    if (createOptions & ~ULONG(REG_OPTION_VOLATILE))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Store> store;
    if (NTSTATUS status = OpenStore(&store); !NT_SUCCESS(status))
        return status;
    KeyId base, id;
    std::vector<std::string> path;
    if (NTSTATUS status = CmpParseNativePath(*store, nativePath, &base, &path); !NT_SUCCESS(status))
        return status;
    CreateOptions options;
    options.isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
    options.createIntermediates = true;
    bool made = false;
    if (StoreStatus result = store->CreateKey(base, path, options, &id, &made); result != StoreStatus::Ok)
        return CmpStatus(result, "cm::CreateKey");
    if (NTSTATUS status = CmpOpenKeyHandle(id, access, key); !NT_SUCCESS(status))
        return status;
    if (created)
        *created = made;
    return STATUS_SUCCESS;
}

NTSTATUS ListSubkeys(HANDLE key, std::vector<std::string>* names)
{
    CmpCheckIrql();
    std::shared_ptr<Store> store;
    if (NTSTATUS status = OpenStore(&store); !NT_SUCCESS(status))
        return status;
    KeyReference reference;
    if (NTSTATUS status = reference.Acquire(key); !NT_SUCCESS(status))
        return status;
    return CmpStatus(store->ListSubkeys(reference.Id(), names), "cm::ListSubkeys");
}

NTSTATUS QueryValue(HANDLE key, std::string_view name, ULONG* type, std::vector<uint8_t>* data)
{
    CmpCheckIrql();
    std::shared_ptr<Store> store;
    if (NTSTATUS status = OpenStore(&store); !NT_SUCCESS(status))
        return status;
    KeyReference reference;
    if (NTSTATUS status = reference.Acquire(key); !NT_SUCCESS(status))
        return status;
    ValueRecord value;
    if (StoreStatus result = store->QueryValue(reference.Id(), name, &value); result != StoreStatus::Ok)
        return CmpStatus(result, "cm::QueryValue");
    *type = value.type;
    *data = std::move(value.data);
    return STATUS_SUCCESS;
}

NTSTATUS QueryStringValue(HANDLE key, std::string_view name, std::string* value)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (NTSTATUS status = QueryValue(key, name, &type, &data); !NT_SUCCESS(status))
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    auto strings = SplitStrings(data);
    *value = strings.empty() ? std::string() : strings.front();
    return STATUS_SUCCESS;
}

NTSTATUS QueryMultiStringValue(HANDLE key, std::string_view name, std::vector<std::string>* values)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (NTSTATUS status = QueryValue(key, name, &type, &data); !NT_SUCCESS(status))
        return status;
    if (type != REG_MULTI_SZ && type != REG_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *values = SplitStrings(data);
    if (type == REG_SZ && values->size() > 1)
        values->resize(1);
    return STATUS_SUCCESS;
}

RequestReads::RequestReads()
{
    Store::BeginReadRun();
}

RequestReads::~RequestReads()
{
    Store::EndReadRun();
}

}  // namespace vlm::nt::cm
