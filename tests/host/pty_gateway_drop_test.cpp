// Dropping one port's terminal: its session ends (the program sees the
// terminal hang up, the port is closed), the link goes, and so nothing
// vetoes the port's orderly removal any more.
#include "gateway_port_fixture.h"
#include "pty_gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;

class PtyGatewayDrop : public GatewayPortTest {
protected:
    void SetUp() override
    {
        GatewayPortTest::SetUp();
        if (HasFatalFailure())
            return;
        gateway_ = std::make_unique<host::PtyGateway>(host::PtyGatewayOptions{.systemRoot = root_});
    }
    void TearDown() override
    {
        gateway_.reset();
        PortTest::TearDown();
    }
    std::unique_ptr<host::PtyGateway> gateway_;
};

TEST_F(PtyGatewayDrop, DroppingAPortEndsItsSessionSoThatItsRemovalIsNotVetoed)
{
    FakePrinter printer;
    Assign(printer);
    ASSERT_EQ(gateway_->Start(), 1);
    std::string link = root_ + "/dosdevices/COM3";
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    ASSERT_TRUE(printer.WaitForBytes(5));  // the session has the port open
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_DEVICE_BUSY);

    EXPECT_TRUE(gateway_->Drop("COM3"));
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived its terminal";
    EXPECT_TRUE(gateway_->Ports().empty());
    EXPECT_TRUE(printer.WaitForRelease());
    // The program sees its terminal hang up.
    bool hungUp = false;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!hungUp && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && (p.revents & (POLLHUP | POLLERR)))
            hungUp = true;
        else if (p.revents & POLLIN) {
            char buffer[64];
            hungUp = read(fd, buffer, sizeof buffer) <= 0;
        }
    }
    EXPECT_TRUE(hungUp);
    close(fd);

    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    EXPECT_FALSE(gateway_->Drop("COM3"));
    EXPECT_EQ(gateway_->Start(), 0) << "a terminal offered for a port that is gone";
}

}  // namespace
}  // namespace vlm::test
