#include "assignments.h"

#include "reg_key.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kAssignKey[] = "SOFTWARE\\VELMORA\\KORDIA";

}  // namespace

CAssignmentTable::CAssignmentTable()
{
    CRegKey assignments;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kAssignKey, &assignments.m_hKey) != ERROR_SUCCESS)
        return;
    // Enumeration order decides between two ports holding one address: the
    // first wins. The scan stops at the first subkey without a readable
    // address, as the driver would find no printer there either.
    for (DWORD index = 0;; ++index) {
        char name[kPortNameSize] = {};
        LONG error = RegEnumKeyA(assignments, index, name, sizeof name);
        if (error == ERROR_MORE_DATA)
            continue;  // longer than any port name: no port of ours
        if (error != ERROR_SUCCESS)
            return;  // the end of the list, or a registry that fails
        CRegKey port;
        DWORD stored = 0;
        DWORD size = sizeof stored;
        std::string path = ChildKeyPath(kAssignKey, name);
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &port.m_hKey) != ERROR_SUCCESS ||
                RegQueryValueExA(port, "IPAddress", nullptr, nullptr, reinterpret_cast<BYTE*>(&stored), &size) !=
                        ERROR_SUCCESS ||
                size != sizeof stored)
            return;
        m_ports.emplace(stored, name);
    }
}

LPCSTR CAssignmentTable::Find(DWORD ip) const
{
    auto found = m_ports.find(ip);
    return found != m_ports.end() ? found->second.c_str() : kNotAssigned;
}

BOOL SaveAssignment(LPCSTR current, LPCSTR newPort, BYTE f0, BYTE f1, BYTE f2, BYTE f3, int tcpPort)
{
    if (!newPort || !*newPort)
        return FALSE;  // no virtual port exists: keep the old assignment too
    if (std::strcmp(current, kNotAssigned) != 0)
        DeleteAssignment(current);
    char dotted[256];
    std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", f0, f1, f2, f3);
    DWORD ip = inet_addr(dotted);
    // The driver reads IPAddress and Port; Port_ keeps the number whole.
    WriteAssignValue(newPort, "Port_", static_cast<DWORD>(tcpPort));
    WriteAssignValue(newPort, "IPAddress", ip);
    WriteAssignValue(newPort, "Port", htons(static_cast<u_short>(tcpPort & 0xFFFF)));
    return TRUE;
}

BOOL WriteAssignValue(LPCSTR port, LPCSTR name, DWORD value)
{
    CRegKey key;
    std::string path = ChildKeyPath(kAssignKey, port);
    if (!path.empty() && RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key.m_hKey) == ERROR_SUCCESS)
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    return TRUE;
}

BOOL DeleteAssignment(LPCSTR port)
{
    if (std::strncmp(port, "COM", 3) != 0)
        return FALSE;
    std::string path = ChildKeyPath(kAssignKey, port);
    if (!path.empty())
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return TRUE;
}

BOOL ReadAssignment(LPCSTR port, DWORD& ip, DWORD& tcpPort)
{
    CRegKey key;
    std::string path = ChildKeyPath(kAssignKey, port);
    if (path.empty() || RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key.m_hKey) != ERROR_SUCCESS)
        return FALSE;
    for (auto [name, value] : {std::pair{"IPAddress", &ip}, std::pair{"Port", &tcpPort}}) {
        DWORD size = sizeof *value;
        if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
                size != sizeof *value)
            return FALSE;
    }
    return TRUE;
}
