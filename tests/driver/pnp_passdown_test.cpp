// Plug and Play requests the port does not handle, and power requests:
// they reach the lower driver, and its answer is the port's.
#include "driver_fixture.h"

#include <cstdio>

namespace vlm::test {
namespace {

using PassDown = DriverTest;
using PortPower = DriverTest;

std::string DefaultCodeTrace(UCHAR minor)
{
    char text[64];
    snprintf(text, sizeof text, " : Dispatch => Default Code = %x\n", unsigned(minor));
    return text;
}

TEST_F(PassDown, OtherMinorCodesReachTheLowerDriverWithSuccessAndNoInformation)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    const std::string pdoName = Node("0000")->pdoName;

    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                 IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                 IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS}) {
        SCOPED_TRACE(testing::Message() << "minor function 0x" << std::hex << int(minor));
        nt::KdTraceClear();
        const size_t before = LowerArrivals().size();
        // The manager sends every request with STATUS_NOT_SUPPORTED.
        EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_PNP, minor), STATUS_SUCCESS);
        auto arrivals = LowerArrivals();
        ASSERT_EQ(arrivals.size(), before + 1);
        EXPECT_EQ(arrivals.back().major, IRP_MJ_PNP);
        EXPECT_EQ(arrivals.back().minor, minor);
        EXPECT_EQ(arrivals.back().status, STATUS_SUCCESS);
        EXPECT_EQ(arrivals.back().information, 0u);
        EXPECT_GE(FindTrace(TraceRecords(), DefaultCodeTrace(minor)), 0);
    }

    // Stop and query requests change nothing.
    EXPECT_EQ(Links("\\DosDevices\\COM").size(), 2u);
    EXPECT_TRUE(SerialCommValue(pdoName));
    EXPECT_TRUE(Interface("0000")->enabled);
    EXPECT_NE(PortExtension("0000")->InputQueue, nullptr);
}

TEST_F(PassDown, TheLowerDriversAnswerIsThePortsAnswer)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    CompleteAtLowerFilter(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE),
            STATUS_INVALID_DEVICE_STATE);
    CompleteAtLowerFilter(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_IMPLEMENTED);
}

TEST_F(PassDown, QueryRemoveRefusedBelowLeavesThePortAsItWas)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    const std::string pdoName = Node("0000")->pdoName;
    CompleteAtLowerFilter(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_INVALID_DEVICE_STATE);

    EXPECT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_INVALID_DEVICE_STATE);
    auto arrivals = LowerArrivals();
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(arrivals.back().minor, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(arrivals.back().status, STATUS_SUCCESS);
    EXPECT_TRUE(Node("0000"));
    EXPECT_EQ(Links("\\DosDevices\\COM").size(), 2u);
    EXPECT_TRUE(SerialCommValue(pdoName));
    EXPECT_TRUE(Interface("0000")->enabled);
}

TEST_F(PassDown, WithoutTheFilterTheBusDriverGetsOtherRequestsWithSuccess)
{
    insertLowerFilter_ = false;
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto log = nt::PnpRootRequestLog(InstancePath("0000"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().major, IRP_MJ_PNP);
    EXPECT_EQ(log.back().minor, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(log.back().statusOnArrival, STATUS_SUCCESS);
    EXPECT_EQ(log.back().informationOnArrival, 0u);
}

TEST_F(PortPower, PowerRequestsGoDownWithTheirStackLocationUntouched)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    const size_t before = LowerArrivals().size();
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
    auto arrivals = LowerArrivals();
    ASSERT_EQ(arrivals.size(), before + 1);
    EXPECT_EQ(arrivals.back().major, IRP_MJ_POWER);
    EXPECT_EQ(arrivals.back().minor, IRP_MN_SET_POWER);
    EXPECT_EQ(arrivals.back().status, STATUS_SUCCESS);
    EXPECT_EQ(arrivals.back().powerType, DevicePowerState);
    EXPECT_EQ(arrivals.back().devicePowerState, PowerDeviceD0);
}

TEST_F(PortPower, PowerRequestsAreNeitherLookedAtNorFailedByThePort)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    CompleteAtLowerFilter(IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_POWER, IRP_MN_QUERY_POWER), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
}

TEST_F(PortPower, WithoutTheFilterTheBusDriverGetsThePowerRequest)
{
    insertLowerFilter_ = false;
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    EXPECT_EQ(nt::PnpSendRequest(InstancePath("0000"), IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
    auto log = nt::PnpRootRequestLog(InstancePath("0000"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().major, IRP_MJ_POWER);
    EXPECT_EQ(log.back().minor, IRP_MN_SET_POWER);
}

}  // namespace
}  // namespace vlm::test
