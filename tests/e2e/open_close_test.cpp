// Opening a port connects its handle to the assigned printer; a second
// open is refused; failed opens leave nothing behind; clean-up releases
// the connection gracefully whether or not the printer answers.
#include "port_fixture.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace vlm::test {
namespace {

using OpenClose = PortTest;

TEST_F(OpenClose, OpenConnectsRaisesTheHandshakeLinesAndStartsBothPollingThreads)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForConnections(1));
    EXPECT_EQ(Port()->Opened, 1u);
    EXPECT_EQ(Port()->ModemStatus & 0x30, 0x30u);
    EXPECT_EQ(LiveThreads() >= 2, true);
    EXPECT_TRUE(TraceHas(": Create, Success Connection\n"));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Port()->Opened, 0u);
    EXPECT_EQ(Port()->ModemStatus & 0x30, 0u);  // close dropped DSR and CTS
    EXPECT_TRUE(printer.WaitForRelease());
}

TEST_F(OpenClose, SecondOpenIsRefusedAndLeavesTheFirstConnectionAlone)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE first, second;
    ASSERT_EQ(Open(&first), STATUS_SUCCESS);
    EXPECT_EQ(Open(&second), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_TRUE(TraceHas(" - Already Object Name Exists \n"));
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(first, "still here", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(printer.WaitForBytes(10));
    EXPECT_EQ(printer.Connections(), 1);
    ZwClose(first);
}

TEST_F(OpenClose, OpensRacingEachOtherClaimThePortOnceAndAgreeOnItsName)
{
    // Every open names the port again, also one that is then refused:
    // racing opens (two programs, or a program and the terminal gateway)
    // must not tear the name the winner looks its printer up by. Run under
    // ThreadSanitizer this also proves the naming is serialised.
    FakePrinter printer;
    Assign(printer);
    for (int round = 0; round < 20; ++round) {
        constexpr int kOpeners = 4;
        HANDLE handles[kOpeners] = {};
        NTSTATUS results[kOpeners] = {};
        std::vector<std::thread> openers;
        for (int i = 0; i < kOpeners; ++i)
            openers.emplace_back([&, i] { results[i] = Open(&handles[i]); });
        for (auto& t : openers)
            t.join();
        int opened = 0;
        for (int i = 0; i < kOpeners; ++i) {
            if (results[i] == STATUS_SUCCESS) {
                ++opened;
                ZwClose(handles[i]);
            } else {
                EXPECT_EQ(results[i], STATUS_PORT_CONNECTION_REFUSED) << "round " << round;
            }
        }
        EXPECT_EQ(opened, 1) << "round " << round;
        EXPECT_EQ(nt::WideToUtf8(Port()->PortName), "COM3");
        ASSERT_TRUE(printer.WaitForRelease()) << "round " << round;
    }
    EXPECT_EQ(printer.Connections(), 20);
}

TEST_F(OpenClose, OpenWithoutAssignmentFailsAtOnceWithoutThreadsOrLeaks)
{
    HANDLE handle;
    int64_t threadsBefore = LiveThreads();
    EXPECT_EQ(Open(&handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Port()->Opened, 0u);
    EXPECT_EQ(LiveThreads(), threadsBefore);
    EXPECT_TRUE(TraceHas("E: Create, Fail Connection\n"));
    EXPECT_EQ(nt::ExPoolOutstanding(nt::PoolTag("TdiE")).blocks, 0);
}

TEST_F(OpenClose, OpenToARefusingPrinterFailsAndTheNextOpenMayTryAgain)
{
    uint16_t closedPort;
    {
        FakePrinter gone;
        closedPort = gone.port();
    }
    Assign("COM3", FakePrinter().addressNetworkOrder(), closedPort);
    HANDLE handle;
    EXPECT_EQ(Open(&handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Port()->Opened, 0u);

    FakePrinter printer;
    Assign(printer);
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(OpenClose, SilentPrinterFailsTheOpenAfterTheConnectLimit)
{
    // A listener that never accepts, whose backlog of one is taken: Linux
    // drops further SYNs, so the driver's connect is never answered.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof sa;
    getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    Assign("COM3", sa.sin_addr.s_addr, ntohs(sa.sin_port));
    HANDLE handle;
    int64_t threadsBefore = LiveThreads();
    EXPECT_EQ(Open(&handle), STATUS_UNSUCCESSFUL);  // after 70 s of kernel time
    EXPECT_EQ(LiveThreads(), threadsBefore);
    EXPECT_EQ(Port()->Opened, 0u);
    close(filler);
    close(listener);
}

TEST_F(OpenClose, CleanupWaitsForThePrintersReleaseOrTenSecondsAtMost)
{
    {
        FakePrinter printer;  // answers the release by closing
        Assign(printer);
        HANDLE handle;
        ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
        nt::KdTraceClear();
        ZwClose(handle);
        EXPECT_TRUE(TraceHas(": Cleanup disconnect wait KeWaitForSingleObject is success \n"));
    }
    {
        FakePrinter::Options options;
        options.onRelease = FakePrinter::OnRelease::Ignore;
        FakePrinter printer(options);
        Assign(printer);
        HANDLE handle;
        ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
        nt::KdTraceClear();
        ZwClose(handle);  // 10 s on the kernel clock
        EXPECT_TRUE(printer.WaitForRelease());
        EXPECT_TRUE(TraceHas(": Cleanup disconnect wait KeWaitForSingleObject is Timeout \n"));
    }
}

TEST_F(OpenClose, CleanupCancelsThreeParkedWaits)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0), STATUS_SUCCESS);
    NTSTATUS results[3];
    ULONG_PTR information[3];
    std::thread waiters[3];
    for (int i = 0; i < 3; ++i)
        waiters[i] = std::thread([&, i] {
            ULONG events = 0xFFFF;
            results[i] = Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &information[i]);
        });
    // Bounded wait until the three are parked in the ring.
    for (int tries = 0; tries < 2000; ++tries) {
        KIRQL irql;
        KeAcquireSpinLock(&Port()->PortLock, &irql);
        ULONG parked = CountWaitIrps(Port());
        KeReleaseSpinLock(&Port()->PortLock, irql);
        if (parked == 3)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ZwClose(handle);
    for (auto& w : waiters)
        w.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i], STATUS_CANCELLED);
        EXPECT_EQ(information[i], 0u);
    }
    EXPECT_TRUE(TraceHas(": Cleanup : Pending WaitIrp Count = 3 \n"));
}

TEST_F(OpenClose, TaggedBlocksKeepTheirSizeInFrontAndGoBackWhole)
{
    ULONG* block = static_cast<ULONG*>(AllocateTaggedBlock(16, nt::PoolTag("TdiE")));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[-1], 16u);
    EXPECT_EQ(nt::ExPoolOutstanding(nt::PoolTag("TdiE")).bytes, 16 + 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);  // records keep their natural alignment
    FreeTaggedBlock(block);
    EXPECT_EQ(nt::ExPoolOutstanding(nt::PoolTag("TdiE")).blocks, 0);
}

}  // namespace
}  // namespace vlm::test
