// Starting a port: the lower driver first, then the COM name from the
// device node becomes links, a SERIALCOMM entry and an enabled interface.
#include "driver_fixture.h"

#include <algorithm>

namespace vlm::test {
namespace {

constexpr char kSeparator[] = "================================================\n";

// The link of that exact name, if it exists.
std::optional<nt::SymbolicLinkInfo> FindLink(const std::vector<nt::SymbolicLinkInfo>& links, const std::string& name)
{
    for (const auto& link : links)
        if (link.name == name)
            return link;
    return std::nullopt;
}

// Index of the first record at or after `from` that begins with prefix, or -1.
long FindTracePrefix(const std::vector<std::string>& records, std::string_view prefix, size_t from = 0)
{
    for (size_t i = from; i < records.size(); ++i)
        if (records[i].starts_with(prefix))
            return long(i);
    return -1;
}

class PortNamed : public DriverTest {
protected:
    // Everything a started port named `portName` on node `instance` shows.
    void ExpectNamed(const std::string& instance, const std::string& portName)
    {
        auto node = Node(instance);
        ASSERT_TRUE(node);
        ASSERT_FALSE(node->pdoName.empty());

        auto links = Links("\\DosDevices\\" + portName);
        auto plain = FindLink(links, "\\DosDevices\\" + portName);
        auto colon = FindLink(links, "\\DosDevices\\" + portName + ":");
        ASSERT_TRUE(plain) << "no link \\DosDevices\\" << portName;
        ASSERT_TRUE(colon) << "no link \\DosDevices\\" << portName << ":";
        EXPECT_EQ(plain->target, node->pdoName);
        EXPECT_EQ(colon->target, node->pdoName);

        auto value = SerialCommValue(node->pdoName);
        ASSERT_TRUE(value) << "no SERIALCOMM value " << node->pdoName;
        EXPECT_EQ(value->type, ULONG(REG_SZ));
        EXPECT_EQ(value->data, WideBytes(portName)) << "the name's characters, without a NUL";

        auto comPort = Interface(instance);
        ASSERT_TRUE(comPort);
        EXPECT_TRUE(comPort->enabled);

        PDEVICE_EXTENSION port = PortExtension(instance);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(nt::WideToUtf8(port->DosName), "\\DosDevices\\" + portName);
        EXPECT_EQ(nt::WideToUtf8(port->DosNameColon), "\\DosDevices\\" + portName + ":");
        EXPECT_EQ(nt::WideToUtf8(port->PortName), portName);
    }

    // Nothing of a port's naming exists, and the record's names are empty.
    void ExpectUnnamed(const std::string& instance)
    {
        auto node = Node(instance);
        ASSERT_TRUE(node);
        EXPECT_TRUE(Links("\\DosDevices\\COM").empty());
        EXPECT_FALSE(SerialCommValue(node->pdoName));
        auto comPort = Interface(instance);
        ASSERT_TRUE(comPort);
        EXPECT_FALSE(comPort->enabled);
        PDEVICE_EXTENSION port = PortExtension(instance);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(nt::WideToUtf8(port->DosName), "");
        EXPECT_EQ(nt::WideToUtf8(port->DosNameColon), "");
        EXPECT_EQ(nt::WideToUtf8(port->PortName), "");
    }
};

using PortStartNaming = PortNamed;
using PortNamingFailure = PortNamed;
using TwoPorts = PortNamed;

TEST_F(PortStartNaming, StartNamesThePortAfterTheLowerDriverStartedIt)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    auto node = Node("0000");
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->started);
    EXPECT_EQ(node->startStatus, STATUS_SUCCESS);
    ExpectNamed("0000", "COM3");
    EXPECT_EQ(Links("\\DosDevices\\COM").size(), 2u);

    // The start went down first, with the status the driver gave it in
    // place of the manager's "not supported".
    auto arrivals = LowerArrivals();
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(arrivals[0].major, IRP_MJ_PNP);
    EXPECT_EQ(arrivals[0].minor, IRP_MN_START_DEVICE);
    EXPECT_EQ(arrivals[0].status, STATUS_SUCCESS);
    EXPECT_EQ(arrivals[0].information, 0u);
}

TEST_F(PortStartNaming, StartThatTheLowerDriverPendsIsWaitedForBeforeNaming)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    nt::PnpRootSetStartBehaviour(InstancePath("0000"), STATUS_SUCCESS, true);
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ExpectNamed("0000", "COM3");
}

TEST_F(PortStartNaming, StartWithoutTheFilterReachesTheBusDriverWithSuccess)
{
    insertLowerFilter_ = false;
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ExpectNamed("0000", "COM3");
    auto log = nt::PnpRootRequestLog(InstancePath("0000"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].major, IRP_MJ_PNP);
    EXPECT_EQ(log[0].minor, IRP_MN_START_DEVICE);
    EXPECT_EQ(log[0].statusOnArrival, STATUS_SUCCESS);
    EXPECT_EQ(log[0].informationOnArrival, 0u);
}

TEST_F(PortStartNaming, StartTracesEachStepInOrder)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    nt::KdTraceClear();
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    auto comPort = Interface("0000");
    ASSERT_TRUE(comPort);

    auto records = TraceRecords();
    long at = FindTrace(records, "+ Dispatch routine Start\n");
    ASSERT_GE(at, 1);
    EXPECT_EQ(records[at - 1], kSeparator);
    const std::vector<std::string> steps = {
            " : Dispatch => START_DEVICE start\n",
            kSeparator,
            " + VSERIAL_DeferIrpCompletion Start => Context = ",
            " - VSERIAL_DeferIrpCompletion Call \n",
            "*(^^)* ZwQueryValueKey: [PortName]",
            "*(^^)* DOS_NAME: [\\DosDevices\\COM3]",
            "*(^^)* cPortName: [COM3]",
            "*(^^)* IoSetDeviceInterfaceState: [" + comPort->symbolicLink + "]",
            " : Dispatch => START_DEVICE end\n",
            "- Dispatch routine End\n",
    };
    for (const auto& step : steps) {
        long next = step.ends_with("= ") ? FindTracePrefix(records, step, at + 1) : FindTrace(records, step, at + 1);
        ASSERT_EQ(next, at + 1) << "expected next: " << step;
        at = next;
    }
    EXPECT_EQ(FindTrace(records, " E : Context is NULL \n"), -1);
}

class LowerStartFailure : public PortNamed, public ::testing::WithParamInterface<bool> { };

TEST_P(LowerStartFailure, StartThatTheLowerDriverFailsLeavesThePortUnnamed)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    nt::PnpRootSetStartBehaviour(InstancePath("0000"), STATUS_DEVICE_NOT_READY, GetParam());
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);
    auto node = Node("0000");
    ASSERT_TRUE(node);
    EXPECT_FALSE(node->started);
    EXPECT_EQ(node->startStatus, STATUS_DEVICE_NOT_READY);
    ExpectUnnamed("0000");
    EXPECT_EQ(FindTrace(TraceRecords(), "*(^^)* ZwQueryValueKey: [PortName]"), -1) << "naming was attempted";
}

INSTANTIATE_TEST_SUITE_P(SynchronousAndPending, LowerStartFailure, ::testing::Bool(),
        [](const auto& info) { return info.param ? "Pending" : "Synchronous"; });

TEST_F(PortNamingFailure, MissingPortNameFailsTheNamingButNotTheStart)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", std::nullopt));
    EXPECT_EQ(nt::PnpEnumerateRoot(), 1);
    auto node = Node("0000");
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->started) << "the start request completes with the lower driver's success";
    EXPECT_EQ(node->startStatus, STATUS_SUCCESS);
    ExpectUnnamed("0000");

    auto records = TraceRecords();
    EXPECT_GE(FindTrace(records, "*(^^)* ZwQueryValueKey: [PortName]"), 0);
    EXPECT_EQ(FindTracePrefix(records, "*(^^)* DOS_NAME"), -1);

    EXPECT_EQ(RegisterPortName(PortDevice("0000"), PortNameAtOpen), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectUnnamed("0000");
}

TEST_F(PortNamingFailure, PortNameTooLongForTheQueryBufferIsAFailedQuery)
{
    const std::string tooLong = "COM" + std::string(117, '7');
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", tooLong));
    EXPECT_EQ(nt::PnpEnumerateRoot(), 1);
    auto node = Node("0000");
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->started);
    ExpectUnnamed("0000");
    EXPECT_EQ(RegisterPortName(PortDevice("0000"), PortNameAtOpen), STATUS_BUFFER_OVERFLOW);
    ExpectUnnamed("0000");
}

TEST_F(PortNamingFailure, FailedRenamingKeepsThePreviousNames)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ASSERT_NO_FATAL_FAILURE(SetPortName("0000", "COM" + std::string(117, '7')));
    EXPECT_EQ(RegisterPortName(PortDevice("0000"), PortNameAtOpen), STATUS_BUFFER_OVERFLOW);
    ExpectNamed("0000", "COM3");
}

TEST_F(PortStartNaming, LongPortNameThatFitsTheQueryBufferIsUsedWhole)
{
    const std::string longName = "COM" + std::string(97, '5');
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", longName));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ExpectNamed("0000", longName);
}

TEST_F(PortStartNaming, NamingAgainWithTheSameNameChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    auto comPort = Interface("0000");
    ASSERT_TRUE(comPort);
    nt::KdTraceClear();

    EXPECT_EQ(RegisterPortName(PortDevice("0000"), PortNameAtOpen), STATUS_SUCCESS);
    ExpectNamed("0000", "COM3");
    EXPECT_EQ(Links("\\DosDevices\\COM").size(), 2u);

    // The form run at open carries no "*(^^)*" marks.
    const std::vector<std::string> expected = {
            "ZwQueryValueKey: [PortName]",
            "DOS_NAME: [\\DosDevices\\COM3]",
            "cPortName: [COM3]",
            " IoSetDeviceInterfaceState: [" + comPort->symbolicLink + "]",
    };
    EXPECT_EQ(TraceRecords(), expected);
}

TEST_F(PortStartNaming, RenamedPortGetsNewNamesAndKeepsTheOldLinksUntilRemoval)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ASSERT_NO_FATAL_FAILURE(SetPortName("0000", "COM4"));
    EXPECT_EQ(RegisterPortName(PortDevice("0000"), PortNameAtOpen), STATUS_SUCCESS);
    ExpectNamed("0000", "COM4");
    auto node = Node("0000");
    ASSERT_TRUE(node);
    auto links = Links("\\DosDevices\\COM");
    ASSERT_EQ(links.size(), 4u);
    EXPECT_EQ(FindLink(links, "\\DosDevices\\COM3")->target, node->pdoName);
    EXPECT_EQ(FindLink(links, "\\DosDevices\\COM3:")->target, node->pdoName);

    // Removal deletes the links named in the record at that time.
    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    links = Links("\\DosDevices\\COM");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_TRUE(FindLink(links, "\\DosDevices\\COM3"));
    EXPECT_TRUE(FindLink(links, "\\DosDevices\\COM3:"));
    EXPECT_FALSE(SerialCommValue(node->pdoName));

    for (const char* stale : {"\\DosDevices\\COM3", "\\DosDevices\\COM3:"}) {
        UString name(stale);
        EXPECT_EQ(IoDeleteSymbolicLink(name.get()), STATUS_SUCCESS);
    }
}

TEST_F(TwoPorts, TwoNodesGetIndependentRecordsAndNames)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0001", "COM4"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 2);
    auto first = Node("0000");
    auto second = Node("0001");
    ASSERT_TRUE(first && second);
    ASSERT_NE(first->pdoName, second->pdoName);

    PDEVICE_EXTENSION com3 = PortExtension("0000");
    PDEVICE_EXTENSION com4 = PortExtension("0001");
    ASSERT_NE(com3, nullptr);
    ASSERT_NE(com4, nullptr);
    ASSERT_NE(com3, com4);
    ASSERT_NE(com3->InputQueue, com4->InputQueue);
    ExpectNamed("0000", "COM3");
    ExpectNamed("0001", "COM4");

    // One port's state and queue are not the other's.
    com3->Opened = 1;
    UpdateModemStatus(com3, MODEM_DSR_ON);
    const UCHAR bytes[] = {1, 2, 3};
    ASSERT_EQ(InputQueue(com3->InputQueue, bytes, sizeof bytes), 3u);
    EXPECT_EQ(com4->Opened, 0u);
    EXPECT_EQ(com4->ModemStatus, 0u);
    EXPECT_EQ(QueuingDataSize(com4->InputQueue), 0u);

    // Removing one leaves the other named and working.
    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_TRUE(Links("\\DosDevices\\COM3").empty());
    EXPECT_FALSE(SerialCommValue(first->pdoName));
    ExpectNamed("0001", "COM4");
    ASSERT_EQ(PortExtension("0001"), com4);
    ASSERT_EQ(InputQueue(com4->InputQueue, bytes, sizeof bytes), 3u);
    UCHAR out[3] = {};
    EXPECT_EQ(ReadInputQueue(com4->InputQueue, out, sizeof out), 3u);
    EXPECT_TRUE(std::equal(std::begin(out), std::end(out), std::begin(bytes)));
}

}  // namespace
}  // namespace vlm::test
