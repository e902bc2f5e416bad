// An assignment changed by another process between two opens of a port:
// the kernel keeps what it read of the registry while nothing changes, and
// the next open after vlmreg's write must print to the new address.
#include "port_fixture.h"
#include "process_support.h"

#include <vlm/kernel.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace vlm::test {
namespace {

class AssignmentChange : public PortTest {
protected:
    // vlmreg ADD of one DWORD of COM3's assignment, as an administrator
    // would change it while the port is in use.
    void SetWithVlmreg(const char* name, uint32_t value)
    {
        Process reg(VLMREG_PATH,
                {"add", "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM3", "/v", name, "/t", "REG_DWORD", "/d",
                        std::to_string(value)},
                {"VLM_SYSTEM_ROOT=" + nt::KernelSystemRoot()});
        ASSERT_EQ(reg.Wait(), 0) << reg.output();
    }
    void ReassignWithVlmreg(const FakePrinter& printer)
    {
        SetWithVlmreg("IPAddress", printer.addressNetworkOrder());
        SetWithVlmreg("Port", htons(printer.port()));
    }
    // Open, write, close: the bytes go to whatever the open looked up.
    void Print(const std::string& bytes)
    {
        HANDLE handle;
        ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
        ULONG_PTR count = 0;
        EXPECT_EQ(Write(handle, bytes, &count), STATUS_SUCCESS);
        EXPECT_EQ(count, bytes.size());
        ZwClose(handle);
    }
};

TEST_F(AssignmentChange, AnAddressVlmregWritesBetweenTwoOpensIsWhereTheNextOpenPrints)
{
    FakePrinter first("127.0.0.1");
    FakePrinter second("127.0.0.2");
    // Many assignments, as a machine with every port assigned has: the
    // lookup reads them all on each open.
    for (int n = 4; n < 64; ++n)
        Assign("COM" + std::to_string(n), first.addressNetworkOrder(), first.port());
    Assign(first);

    Print("a");
    Print("b");  // the same registry twice: read once, kept
    ASSERT_TRUE(first.WaitForBytes(2));

    ReassignWithVlmreg(second);
    Print("c");
    ASSERT_TRUE(second.WaitForBytes(1)) << "the open after vlmreg's change printed to the old address";
    EXPECT_EQ(second.Received(), "c");

    ReassignWithVlmreg(first);
    Print("d");
    ASSERT_TRUE(first.WaitForBytes(3));
    EXPECT_EQ(first.Received(), "abd");
    EXPECT_EQ(second.Received(), "c");
}

}  // namespace
}  // namespace vlm::test
