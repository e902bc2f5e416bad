#include "setupapi/comdb.h"

#include "setupapi/devinfo.h"
#include "setupapi/pending.h"
#include "setupapi/regkey.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vlm::win32::setup {
namespace {

const char kArbiterKey[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr size_t kBitmapBytes = kMaxComNumber / 8;

}  // namespace

int SetpComNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6 || toupper(static_cast<unsigned char>(name[0])) != 'C' ||
            toupper(static_cast<unsigned char>(name[1])) != 'O' ||
            toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] == '0')
        return 0;
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number >= 1 && number <= kMaxComNumber ? number : 0;
}

DWORD SetpReadComDb(std::vector<BYTE>* bitmap)
{
    bitmap->assign(kBitmapBytes, 0);
    RegKey arbiter;
    LONG error = arbiter.Open(HKEY_LOCAL_MACHINE, kArbiterKey);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return DWORD(error);
    DWORD type = 0;
    std::vector<BYTE> data;
    error = arbiter.Query("ComDB", &type, &data);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return DWORD(error);
    if (data.size() > bitmap->size())
        bitmap->resize(data.size(), 0);
    std::copy(data.begin(), data.end(), bitmap->begin());
    return ERROR_SUCCESS;
}

DWORD SetpWriteComDb(const std::vector<BYTE>& bitmap)
{
    RegKey arbiter;
    LONG error = arbiter.Create(HKEY_LOCAL_MACHINE, kArbiterKey);
    if (error == ERROR_SUCCESS)
        error = arbiter.Set("ComDB", REG_BINARY, bitmap.data(), bitmap.size());
    return DWORD(error);
}

void SetpMarkCom(std::vector<BYTE>& bitmap, int number, bool inUse)
{
    size_t byte = size_t(number - 1) / 8;
    if (number < 1 || byte >= bitmap.size())
        return;
    BYTE bit = BYTE(1u << ((number - 1) % 8));
    bitmap[byte] = inUse ? BYTE(bitmap[byte] | bit) : BYTE(bitmap[byte] & ~bit);
}

bool SetpComMarked(const std::vector<BYTE>& bitmap, int number)
{
    size_t byte = size_t(number - 1) / 8;
    return number >= 1 && byte < bitmap.size() && (bitmap[byte] >> ((number - 1) % 8)) & 1;
}

std::set<int> SetpComNamesInUse(const std::vector<BYTE>& bitmap)
{
    std::set<int> taken;
    for (int number = 1; number < kFirstFreeComNumber; ++number)
        taken.insert(number);
    for (int number = 1; number <= kMaxComNumber; ++number)
        if (SetpComMarked(bitmap, number))
            taken.insert(number);
    for (const std::string& id : SetpListNodes()) {
        RegKey parameters;
        std::string name;
        if (parameters.Open(HKEY_LOCAL_MACHINE, SetpNodePath(id) + "\\Device Parameters") == ERROR_SUCCESS &&
                parameters.QueryString("PortName", &name) == ERROR_SUCCESS)
            if (int number = SetpComNumber(name))
                taken.insert(number);
    }
    for (const PendingRemoval& removal : SetpRemovalsPending())
        if (int number = SetpComNumber(removal.portName))
            taken.insert(number);
    RegKey serialComm;
    if (serialComm.Open(HKEY_LOCAL_MACHINE, kSerialCommKey) == ERROR_SUCCESS) {
        char name[256];
        for (DWORD index = 0; index < 4096; ++index) {
            DWORD nameSize = sizeof name;
            DWORD type = 0;
            BYTE data[64];
            DWORD dataSize = sizeof data - 1;
            LONG error = RegEnumValueA(serialComm.get(), index, name, &nameSize, nullptr, &type, data, &dataSize);
            if (error == ERROR_NO_MORE_ITEMS)
                break;
            if (error != ERROR_SUCCESS || type != REG_SZ)
                continue;
            data[dataSize] = 0;
            if (int number = SetpComNumber(reinterpret_cast<const char*>(data)))
                taken.insert(number);
        }
    }
    return taken;
}

DWORD SetpClaimLowestFreeCom(std::set<int>& taken, int* number)
{
    *number = 0;
    for (int candidate = kFirstFreeComNumber; candidate <= kMaxComNumber && !*number; ++candidate)
        if (!taken.count(candidate))
            *number = candidate;
    if (!*number) {
        fprintf(stderr, "setupapi: no COM name is free: every name from COM%d to COM%d is taken (%d ports at most)\n",
                kFirstFreeComNumber, kMaxComNumber, kMaxComNumber - kFirstFreeComNumber + 1);
        return ERROR_NO_LOG_SPACE;
    }
    taken.insert(*number);
    return ERROR_SUCCESS;
}

}  // namespace vlm::win32::setup
