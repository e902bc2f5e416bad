// Data through an open port: writes reach the printer whole, the printer's
// bytes become readable and wake waits, and the connection's failures show
// the way serial applications see them.
#include "port_fixture.h"

#include <thread>

namespace vlm::test {
namespace {

using DataPath = PortTest;

TEST_F(DataPath, ThousandByteWriteArrivesWholeAndCompletesWithItsCount)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    std::string job(1000, '\0');
    for (size_t i = 0; i < job.size(); ++i)
        job[i] = char('A' + i % 26);
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(handle, job, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1000u);
    ASSERT_TRUE(printer.WaitForBytes(1000));
    EXPECT_EQ(printer.Received(), job);
    EXPECT_TRUE(TraceHas(": VSerial_Write TdiFuncs_Send 1000 byte Success\n"));

    EXPECT_EQ(Write(handle, "", &count), STATUS_SUCCESS);  // empty writes send nothing
    EXPECT_EQ(count, 0u);
    ZwClose(handle);
}

TEST_F(DataPath, PrinterBytesCompleteARxcharWaitAndAreRead)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    SetReadReturnsAtOnce(handle);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0), STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForConnections(1));
    ULONG events = 0;
    ULONG_PTR information = 0;
    std::thread waiter([&] {
        EXPECT_EQ(Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &information), STATUS_SUCCESS);
    });
    printer.Send("\x06status ok\r\n");
    waiter.join();
    EXPECT_EQ(events, ULONG(SERIAL_EV_RXCHAR));
    EXPECT_EQ(information, 4u);
    std::string bytes;
    EXPECT_EQ(Read(handle, &bytes, 64), STATUS_SUCCESS);
    EXPECT_EQ(bytes, "\x06status ok\r\n");
    ZwClose(handle);
}

TEST_F(DataPath, BytesReceivedStayReadableAfterCloseAndReopen)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForConnections(1));
    printer.Send("kept");
    for (int tries = 0; tries < 5000; ++tries) {
        KIRQL irql;
        KeAcquireSpinLock(&Port()->PortLock, &irql);
        ULONG queued = QueuingDataSize(Port()->InputQueue);
        KeReleaseSpinLock(&Port()->PortLock, irql);
        if (queued == 4)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ZwClose(handle);
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    SetReadReturnsAtOnce(handle);
    std::string bytes;
    EXPECT_EQ(Read(handle, &bytes, 16), STATUS_SUCCESS);
    EXPECT_EQ(bytes, "kept");
    ZwClose(handle);
}

TEST_F(DataPath, AfterThePrinterClosedWritesReportNothingUntilReopened)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForConnections(1));
    printer.CloseConnection();
    // The disconnect indication arrives from the transport's thread.
    ULONG_PTR count = 1;
    for (int tries = 0; tries < 200 && count != 0; ++tries) {
        ASSERT_EQ(Write(handle, "lost?", &count), STATUS_SUCCESS);
        if (count != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Write(handle, "still lost", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(printer.Connections(), 1);  // no reconnect without a reopen
    ZwClose(handle);
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "again", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_TRUE(printer.WaitForConnections(2));
    ZwClose(handle);
}

TEST_F(DataPath, SendTimeoutTearsDownAndTheNextWriteReconnectsToTheNewAssignment)
{
    FakePrinter::Options stalled;
    stalled.read = false;
    stalled.receiveBuffer = 4096;
    FakePrinter first(stalled);
    FakePrinter second("127.0.0.2");
    Assign(first);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    // More than both sockets can buffer: the send stalls for 100 s of
    // kernel time, then the connection is released.
    std::string big(8 << 20, 'x');
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(handle, big, &count), STATUS_SUCCESS);
    EXPECT_LT(count, big.size());
    EXPECT_TRUE(TraceHas(": VSerial_Write TdiFuncs_Send Timeout\n"));
    EXPECT_EQ(Port()->ModemStatus & 0x30, 0u);

    Assign(second);  // the reconnect looks the assignment up again
    EXPECT_EQ(Write(handle, "after", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 5u);
    ASSERT_TRUE(second.WaitForBytes(5));
    EXPECT_EQ(second.Received(), "after");
    ZwClose(handle);
}

// Surprise removal of an open port: the printer goes on sending while the
// port is gone, the removal itself waits for the handle's close, and the
// queue is freed only after the connection is closed (ASan would see a
// receive handler writing into a freed queue).
TEST_F(DataPath, SurpriseRemovalWhileOpenFreesTheQueueOnlyAfterTheLastClose)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForConnections(1));
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; i < 2000 && !stop; ++i) {
            printer.Send(std::string(512, 'r'));
            std::this_thread::yield();
        }
    });
    PDEVICE_EXTENSION port = Port();
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(port->Opened, 0u);
    EXPECT_NE(port->InputQueue, nullptr);  // removal waits for the handle
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_DELETE_PENDING);
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(handle, "x", &count), STATUS_SUCCESS);
    stop = true;
    sender.join();
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);  // clean-up, close, then the removal
    EXPECT_TRUE(nt::PnpQueryDevices().empty());
    EXPECT_TRUE(nt::ObQuerySymbolicLinks("\\DosDevices\\COM3").empty());
    EXPECT_TRUE(printer.WaitForRelease());
}

TEST_F(DataPath, OrderlyRemovalIsVetoedWhileThePortIsOpen)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_DEVICE_BUSY);
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(handle, "works", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 5u);
    ZwClose(handle);
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vlm::test
