// End-to-end fixture: a kernel with the TCP transport, VLMQUENTARO loaded
// for one device node named COM3, the port assignment key, and the
// application's side of the port (open, write, read, control) through
// kernel file handles, exactly as requests reach the driver from a program.
#pragma once

#include "fake_printer.h"
#include "kernel_fixture.h"
#include "registry_support.h"

#include <vlmquentaro.h>

#include <string>

namespace vlm::test {

class PortTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes SOFTWARE\VELMORA\KORDIA\<port> the way the configuration
    // tool does: Port_ (host order), IPAddress (network order), Port (htons).
    void Assign(const std::string& portName, uint32_t addressNetworkOrder, uint16_t tcpPort);
    void Assign(const FakePrinter& printer) { Assign("COM3", printer.addressNetworkOrder(), printer.port()); }
    void Unassign(const std::string& portName);

    NTSTATUS Open(HANDLE* handle, const char* name = "\\DosDevices\\COM3");
    // Returns the status; *count gets the bytes the request reported.
    NTSTATUS Write(HANDLE handle, const std::string& bytes, ULONG_PTR* count = nullptr);
    NTSTATUS Read(HANDLE handle, std::string* bytes, ULONG max);
    NTSTATUS Control(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
            ULONG_PTR* information = nullptr);
    // Reads return at once with what is queued.
    void SetReadReturnsAtOnce(HANDLE handle);

    PDEVICE_EXTENSION Port();  // the port's record, valid until removal
    static int64_t LiveThreads();
    bool TraceHas(const std::string& text);
};

}  // namespace vlm::test
