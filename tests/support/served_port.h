// A whole machine in processes, on a temporary system root: vlmprinter on a
// loopback port, COM3 assigned to it with vlmreg, and vlmhost serving.
#pragma once

#include "kernel_fixture.h"
#include "printer_process.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vlm::test {

class ServedPort : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override
    {
        host_.reset();
        printer_.Stop();
        RemoveTree(root_);
    }

    // vlmprinter on 127.0.0.1, any free port, its jobs under the root.
    void StartPrinter(std::vector<std::string> flags = {})
    {
        ASSERT_NO_FATAL_FAILURE(printer_.Start(root_, std::move(flags)));
        printerPort_ = printer_.port();
    }

    // The assignment the driver looks up when the port opens, written as an
    // administrator would: with vlmreg.
    void Assign(const std::string& portName)
    {
        const std::string key = "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\" + portName;
        // 127.0.0.1 as the DWORD whose little-endian bytes are 7F 00 00 01.
        const unsigned address = 0x0100007Fu;
        const unsigned port = unsigned(printerPort_);
        const unsigned portNetworkOrder = ((port & 0xFF) << 8) | (port >> 8);
        for (auto [name, data] :
                {std::pair{"IPAddress", address}, std::pair{"Port", portNetworkOrder}, std::pair{"Port_", port}}) {
            Process reg(VLMREG_PATH, {"ADD", key, "/v", name, "/t", "REG_DWORD", "/d", std::to_string(data), "/f"},
                    {"VLM_SYSTEM_ROOT=" + root_});
            ASSERT_EQ(reg.Wait(), 0) << reg.output();
        }
    }

    // vlmhost serving the root with one port, COM3.
    void StartHost(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"--root", root_, "--create-port", "COM3"};
        args.insert(args.end(), extra.begin(), extra.end());
        host_ = std::make_unique<Process>(VLMHOST_PATH, args);
        ASSERT_TRUE(host_->WaitFor("serving")) << host_->output();
    }

    // The file of printer job `number`, once vlmprinter has reported it.
    std::string Job(int number, size_t bytes) { return printer_.Job(number, bytes); }

    std::string root_;
    int printerPort_ = 0;
    PrinterProcess printer_;
    std::unique_ptr<Process> host_;
};

}  // namespace vlm::test
