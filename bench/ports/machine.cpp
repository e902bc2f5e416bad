#include "machine.h"

#include <atlbase.h>
#include <windows.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vlm::bench {

namespace {

// A key under HKLM, created with every missing parent; closed on scope exit.
class Key {
public:
    explicit Key(const std::string& path)
    {
        LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key_.m_hKey);
        if (rc != ERROR_SUCCESS)
            throw std::runtime_error("cannot create HKLM\\" + path + ": error " + std::to_string(rc));
    }

    void Set(const char* name, const std::string& text, DWORD type = REG_SZ)
    {
        // REG_MULTI_SZ ends with a second terminator.
        std::string data = text + (type == REG_MULTI_SZ ? std::string(2, '\0') : std::string(1, '\0'));
        Check(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())));
    }
    void Set(const char* name, DWORD value)
    {
        Check(RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
    }

private:
    static void Check(LONG rc)
    {
        if (rc != ERROR_SUCCESS)
            throw std::runtime_error("registry write failed: error " + std::to_string(rc));
    }
    CRegKey key_;  // closes itself
};

}  // namespace

Machine::Machine(const std::string& vlmhostPath, const std::vector<uint16_t>& sinkPorts, const std::string& address)
    : vlmhostPath_(vlmhostPath), sinkPorts_(sinkPorts)
{
    // The registry holds the address in memory order: as inet_pton lays it out.
    if (inet_pton(AF_INET, address.c_str(), &address_) != 1)
        throw std::runtime_error(address + " is not an IPv4 address");
    char pattern[] = "/tmp/vlmportbench.XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot make a system root");
    root_ = pattern;
    WatchPath(root_);
    setenv("VLM_SYSTEM_ROOT", root_.c_str(), 1);
    for (size_t i = 0; i < sinkPorts.size(); ++i) {
        char instance[64];
        snprintf(instance, sizeof instance, "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\%04zu", i);
        {
            Key node(instance);
            node.Set("Service", "VLMQUENTARO");
            node.Set("Class", "Ports");
            node.Set("ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}");
            node.Set("HardwareID", "mirkatech\\quentaro", REG_MULTI_SZ);
        }
        Key(std::string(instance) + "\\Device Parameters").Set("PortName", PortName(i));
        Assign(i);
    }
}

void Machine::Assign(size_t index)
{
    Key assignment("SOFTWARE\\VELMORA\\KORDIA\\" + PortName(index));
    // The TCP port in network order, as the tool writes it.
    assignment.Set("IPAddress", DWORD(address_));
    assignment.Set("Port", DWORD(((sinkPorts_[index] & 0xFF) << 8) | (sinkPorts_[index] >> 8)));
    assignment.Set("Port_", DWORD(sinkPorts_[index]));
}

void Machine::AssignOnly(size_t index)
{
    for (size_t i = 0; i < sinkPorts_.size(); ++i) {
        if (i == index)
            continue;
        const std::string path = "SOFTWARE\\VELMORA\\KORDIA\\" + PortName(i);
        LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            throw std::runtime_error("cannot delete HKLM\\" + path + ": error " + std::to_string(rc));
    }
}

void Machine::AssignAll()
{
    for (size_t i = 0; i < sinkPorts_.size(); ++i)
        Assign(i);
}

void Machine::Start(const std::vector<std::string>& options)
{
    host_.reset();
    std::vector<std::string> args{"--root", root_};
    args.insert(args.end(), options.begin(), options.end());
    Step step("starting vlmhost on " + root_, std::chrono::seconds(120));
    host_ = std::make_unique<Child>(vlmhostPath_, args);
    if (!host_->WaitFor("serving", step))
        step.Fail("vlmhost did not come up:\n" + host_->output());
}

Machine::~Machine()
{
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    ForgetPath(root_);
}

}  // namespace vlm::bench
