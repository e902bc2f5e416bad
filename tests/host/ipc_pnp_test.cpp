// Plug and Play requests over IPC: a new node starts and its terminal is
// offered; removal takes the port's terminal away first, is vetoed while a
// program has the port open (and the terminal comes back), and otherwise
// removes the port.
#include "ipc_fixture.h"
#include "registry.h"

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using Op = ipc::Op;

const char kPorts[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";

void AddNode(const std::string& instance, const std::string& portName)
{
    host::Key node, parameters;
    ASSERT_EQ(host::Key::Create(kPorts + instance, node), STATUS_SUCCESS);
    ASSERT_EQ(node.SetString("Service", "VLMQUENTARO"), STATUS_SUCCESS);
    ASSERT_EQ(host::Key::Create(kPorts + instance + "\\Device Parameters", parameters), STATUS_SUCCESS);
    ASSERT_EQ(parameters.SetString("PortName", portName), STATUS_SUCCESS);
}

std::vector<uint8_t> Name(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

using IpcPnp = IpcTest;

TEST_F(IpcPnp, EnumerateStartsANewNodeReportsItsPortAndOffersTerminals)
{
    AddNode("0001", "COM4");
    auto client = Client();
    auto reply = client->Call(Op::PnpEnumerate, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_EQ(reply->information, 1u);
    EXPECT_TRUE(WaitForLog("device ROOT\\PORTS\\0001 started as COM4")) << LogText();
    EXPECT_EQ(nt::ObQuerySymbolicLinks("\\DosDevices\\COM4").size(), 2u);  // COM4 and COM4:
    EXPECT_EQ(HookCalls(), std::vector<std::string>{"portsAdded"});
    // Nothing new the second time.
    EXPECT_EQ(client->Call(Op::PnpEnumerate, 0)->information, 0u);
}

TEST_F(IpcPnp, RemovalOfAPortOpenOverIpcIsVetoedAndItsTerminalOfferedAgain)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    auto reply = client->Call(Op::PnpRemove, 0, Name("ROOT\\PORTS\\0000"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(HookCalls(), (std::vector<std::string>{"drop COM3", "offer again COM3"}));
    EXPECT_TRUE(WaitForLog("client 1: removal of device ROOT\\PORTS\\0000 failed: status 0x80000011")) << LogText();
    // The port is untouched.
    EXPECT_EQ(client->Call(Op::Write, handle, Bytes("after the veto"))->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForBytes(14));
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);

    reply = client->Call(Op::PnpRemove, 0, Name("Root\\PORTS\\0000"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_TRUE(nt::ObQuerySymbolicLinks("\\DosDevices\\COM3").empty());
    EXPECT_TRUE(WaitForLog("device Root\\PORTS\\0000 removed (COM3)")) << LogText();
    EXPECT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IpcPnp, RemovalOfAnUnknownNodeFailsAndBadPathsAreRefused)
{
    auto client = Client();
    EXPECT_EQ(client->Call(Op::PnpRemove, 0, Name("ROOT\\PORTS\\0042"))->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(client->Call(Op::PnpRemove, 0, {})->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->Call(Op::PnpRemove, 0, std::vector<uint8_t>{'a', 0, 'b'})->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->Call(Op::PnpRemove, 0, std::vector<uint8_t>(ipc::kMaxName + 1, 'x'))->status,
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->Call(Op::PnpEnumerate, 0, Name("x"))->status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(HookCalls().empty());
    EXPECT_EQ(nt::ObQuerySymbolicLinks("\\DosDevices\\COM3").size(), 2u);
}

}  // namespace
}  // namespace vlm::test
