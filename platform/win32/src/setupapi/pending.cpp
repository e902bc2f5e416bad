#include "setupapi/pending.h"

#include "setupapi/regkey.h"

#include <cstdio>

namespace vlm::win32::setup {
namespace {

const char kPendingKey[] = "HARDWARE\\VLM\\RemovalPending";

}  // namespace

void SetpMarkRemovalPending(const std::string& instanceId, const std::string& portName)
{
    HKEY key;
    LONG error = RegCreateKeyExA(
            HKEY_LOCAL_MACHINE, kPendingKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        error = RegSetValueExA(key, instanceId.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                DWORD(portName.size() + 1));
        RegCloseKey(key);
    }
    // The node is gone from the registry either way; without the mark a new
    // node could only collide with the running one until vlmhost restarts.
    if (error != ERROR_SUCCESS)
        fprintf(stderr, "setupapi: cannot record the pending removal of %s: error %ld\n", instanceId.c_str(),
                long(error));
}

std::vector<PendingRemoval> SetpRemovalsPending()
{
    std::vector<PendingRemoval> pending;
    RegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kPendingKey) != ERROR_SUCCESS)
        return pending;
    for (DWORD index = 0; index < 100000; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[64];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        LONG error = RegEnumValueA(key.get(), index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        if (error != ERROR_SUCCESS)
            continue;
        data[type == REG_SZ ? dataSize : 0] = 0;
        pending.push_back({name, reinterpret_cast<const char*>(data)});
    }
    return pending;
}

}  // namespace vlm::win32::setup
