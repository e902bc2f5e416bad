// A machine in processes on a temporary system root: vlmprinter on a
// loopback port, COM3 assigned to it, vlmhost serving the IPC socket; this
// test process is the Win32 program.
#pragma once

#include <windows.h>

#include "ipc/client.h"
#include "printer_process.h"
#include "process_support.h"
#include "temp_root.h"
#include "vlm/win32.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

namespace vlm::test {

class HostedPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VLM_SYSTEM_ROOT", root_.path().c_str(), 1);
        vlm::win32::ipc::Disconnect();
        vlm::win32::RegistryReset();
    }
    void TearDown() override
    {
        vlm::win32::ipc::Disconnect();
        vlm::win32::RegistryReset();
        host_.reset();
        printer_.Stop();
    }

    // vlmprinter on 127.0.0.1, any free port, its jobs under the root.
    void StartPrinter(std::vector<std::string> flags = {})
    {
        ASSERT_NO_FATAL_FAILURE(printer_.Start(root_.path(), std::move(flags)));
        printerPort_ = printer_.port();
    }

    // The assignment the driver looks up when the port opens.
    void Assign(const std::string& portName)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\VELMORA\\KORDIA\\" + portName).c_str(), &key),
                ERROR_SUCCESS);
        // 127.0.0.1 as the DWORD whose little-endian bytes are 7F 00 00 01.
        const DWORD address = 0x0100007Fu;
        const DWORD port = DWORD(printerPort_);
        const DWORD portNetworkOrder = ((port & 0xFF) << 8) | (port >> 8);
        for (auto [name, data] :
                {std::pair{"IPAddress", address}, std::pair{"Port", portNetworkOrder}, std::pair{"Port_", port}})
            ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data),
                    ERROR_SUCCESS);
        RegCloseKey(key);
        vlm::win32::RegistryReset();
    }

    // vlmhost serving the root with one port, COM3, and no terminals.
    void StartHost()
    {
        host_ = std::make_unique<Process>(
                VLMHOST_PATH, std::vector<std::string>{"--root", root_.path(), "--create-port", "COM3", "--no-pty"});
        ASSERT_TRUE(host_->WaitFor("ipc listening on")) << host_->output();
    }

    // Printer, assignment and host: COM3 ready to open.
    void StartMachine(std::vector<std::string> printerFlags = {})
    {
        ASSERT_NO_FATAL_FAILURE(StartPrinter(std::move(printerFlags)));
        ASSERT_NO_FATAL_FAILURE(Assign("COM3"));
        ASSERT_NO_FATAL_FAILURE(StartHost());
    }

    // The file of printer job `number`, once vlmprinter has reported it.
    std::string Job(int number, size_t bytes) { return printer_.Job(number, bytes); }

    TempRoot root_;
    int printerPort_ = 0;
    PrinterProcess printer_;
    std::unique_ptr<Process> host_;
};

}  // namespace vlm::test
