// vlmhost run as a program on a temporary system root, for the tests that
// need the real process: its output, its files, its socket.
#pragma once

#include "vlm/ipc/protocol.h"
#include "kernel_fixture.h"
#include "process_support.h"
#include "registry.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vlm::test {

class Host : public Process {
public:
    explicit Host(std::vector<std::string> args) : Process(VLMHOST_PATH, std::move(args)) { }
};

class VlmHostIpc : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }

    // Writes COM3's assignment into the root's registry with a kernel of
    // our own, before any vlmhost runs on it.
    void Assign(uint16_t tcpPort)
    {
        nt::KernelOptions options;
        options.systemRoot = root_;
        ASSERT_EQ(nt::KernelStart(options), STATUS_SUCCESS);
        {
            host::Key key;
            ASSERT_EQ(host::Key::Create("\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3", key), STATUS_SUCCESS);
            auto set = [&](const char* name, ULONG value) {
                UString us(name);
                EXPECT_EQ(ZwSetValueKey(key.get(), us.get(), 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
            };
            set("Port_", tcpPort);
            set("IPAddress", htonl(INADDR_LOOPBACK));
            set("Port", htons(tcpPort));
        }
        nt::KernelShutdown();
    }
    std::string SocketPath() const { return vlm::ipc::SocketPath(root_); }

    std::string root_;
};

}  // namespace vlm::test
