// Cancelling a file's requests: every request a thread is waiting for on
// the handle's file object is cancelled, nothing on another file object
// is, and a request that completes while it is being cancelled is neither
// completed twice nor touched after it is freed.
#include "io_support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

using namespace std::chrono_literals;

// The driver's side of the tests: requests park until cancelled or until
// the test completes them. One instance at a time (cancel routines are
// plain functions).
class ParkingLot {
public:
    ParkingLot()
    {
        KeInitializeSpinLock(&lock_);
        current_ = this;
    }
    ~ParkingLot() { current_ = nullptr; }

    NTSTATUS Park(PIRP irp)
    {
        IoMarkIrpPending(irp);
        // Irp->Cancel is read under the cancel spin lock: a cancellation
        // either came before (and is seen) or finds the cancel routine.
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(cancelIrql);
            Finish(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        KeAcquireSpinLockAtDpcLevel(&lock_);
        parked_.push_back(irp);
        IoSetCancelRoutine(irp, Cancel);
        KeReleaseSpinLockFromDpcLevel(&lock_);
        IoReleaseCancelSpinLock(cancelIrql);
        Changed();
        return STATUS_PENDING;
    }

    // Completes the oldest parked request that is not being cancelled.
    bool CompleteOne(NTSTATUS status)
    {
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        for (auto it = parked_.begin(); it != parked_.end(); ++it) {
            PIRP irp = *it;
            // Whoever takes the cancel routine away owns the completion.
            if (IoSetCancelRoutine(irp, nullptr)) {
                parked_.erase(it);
                KeReleaseSpinLock(&lock_, irql);
                Finish(irp, status);
                Changed();
                return true;
            }
        }
        KeReleaseSpinLock(&lock_, irql);
        return false;
    }

    size_t Parked()
    {
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        size_t n = parked_.size();
        KeReleaseSpinLock(&lock_, irql);
        return n;
    }

    bool WaitForParked(size_t n)
    {
        std::unique_lock guard(waitLock_);
        return changed_.wait_for(guard, 10s, [&] { return Parked() == n; });
    }

private:
    static void Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        ParkingLot* lot = current_;
        KIRQL irql;
        KeAcquireSpinLock(&lot->lock_, &irql);
        for (auto it = lot->parked_.begin(); it != lot->parked_.end(); ++it)
            if (*it == irp) {
                lot->parked_.erase(it);
                break;
            }
        KeReleaseSpinLock(&lot->lock_, irql);
        Finish(irp, STATUS_CANCELLED);
        lot->Changed();
    }

    static void Finish(PIRP irp, NTSTATUS status)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    void Changed()
    {
        std::lock_guard guard(waitLock_);
        changed_.notify_all();
    }

    static inline ParkingLot* current_ = nullptr;
    KSPIN_LOCK lock_;           // guards parked_; taken inside the cancel spin lock, never around it
    std::vector<PIRP> parked_;  // requests with our cancel routine set
    std::mutex waitLock_;       // pairs with changed_, signalled whenever parked_ changes
    std::condition_variable changed_;
};

class CancelFileRequestsTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        TestDevice& device = driver_.emplace().CreateDevice("\\Device\\Parking0");
        auto park = [this](PDEVICE_OBJECT, PIRP irp) { return lot_.Park(irp); };
        device.handlers[IRP_MJ_READ] = park;
        device.handlers[IRP_MJ_WRITE] = park;
        device.handlers[IRP_MJ_DEVICE_CONTROL] = park;
    }
    void TearDown() override
    {
        driver_.reset();
        KernelTest::TearDown();
    }

    HANDLE Open()
    {
        UString name("\\Device\\Parking0");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0,
                          nullptr, 0),
                STATUS_SUCCESS);
        return handle;
    }

    static NTSTATUS Read(HANDLE handle)
    {
        char buffer[16];
        IO_STATUS_BLOCK iosb{};
        return ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, nullptr, nullptr);
    }
    static NTSTATUS Write(HANDLE handle)
    {
        char buffer[4] = "abc";
        IO_STATUS_BLOCK iosb{};
        return ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 3, nullptr, nullptr);
    }
    static NTSTATUS Control(HANDLE handle)
    {
        ULONG out = 0;
        IO_STATUS_BLOCK iosb{};
        return ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb,
                CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, &out, sizeof out);
    }

    std::optional<TestDriver> driver_;
    ParkingLot lot_;
};

TEST_F(CancelFileRequestsTest, EveryRequestWaitingOnTheHandleEndsCancelled)
{
    HANDLE handle = Open();
    std::atomic<NTSTATUS> read{STATUS_PENDING}, write{STATUS_PENDING}, control{STATUS_PENDING};
    std::thread reader([&] { read = Read(handle); });
    std::thread writer([&] { write = Write(handle); });
    std::thread controller([&] { control = Control(handle); });
    ASSERT_TRUE(lot_.WaitForParked(3));

    EXPECT_EQ(nt::IoCancelFileRequests(handle), STATUS_SUCCESS);
    reader.join();
    writer.join();
    controller.join();
    EXPECT_EQ(read.load(), STATUS_CANCELLED);
    EXPECT_EQ(write.load(), STATUS_CANCELLED);
    EXPECT_EQ(control.load(), STATUS_CANCELLED);
    EXPECT_EQ(lot_.Parked(), 0u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(CancelFileRequestsTest, RequestsOnAnotherFileObjectOfTheSameDeviceGoOn)
{
    HANDLE mine = Open();
    HANDLE other = Open();
    std::atomic<NTSTATUS> myRead{STATUS_PENDING}, otherRead{STATUS_PENDING};
    std::thread a([&] { myRead = Read(mine); });
    std::thread b([&] { otherRead = Read(other); });
    ASSERT_TRUE(lot_.WaitForParked(2));

    EXPECT_EQ(nt::IoCancelFileRequests(mine), STATUS_SUCCESS);
    a.join();
    EXPECT_EQ(myRead.load(), STATUS_CANCELLED);
    EXPECT_EQ(lot_.Parked(), 1u);
    EXPECT_EQ(otherRead.load(), STATUS_PENDING);

    ASSERT_TRUE(lot_.CompleteOne(STATUS_SUCCESS));
    b.join();
    EXPECT_EQ(otherRead.load(), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(mine), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
}

TEST_F(CancelFileRequestsTest, ARequestIssuedAfterTheCancelIsNotCancelled)
{
    HANDLE handle = Open();
    EXPECT_EQ(nt::IoCancelFileRequests(handle), STATUS_SUCCESS);  // nothing outstanding
    std::atomic<NTSTATUS> read{STATUS_PENDING};
    std::thread reader([&] { read = Read(handle); });
    ASSERT_TRUE(lot_.WaitForParked(1));
    ASSERT_TRUE(lot_.CompleteOne(STATUS_SUCCESS));
    reader.join();
    EXPECT_EQ(read.load(), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

// Completion and cancellation race for the same requests; each request
// must end exactly once, and the cancelling side must never look at a
// request its sender has already freed (the sanitizer builds see that).
TEST_F(CancelFileRequestsTest, CompletionRacingTheCancelEndsEachRequestOnce)
{
    HANDLE handle = Open();
    constexpr int kRounds = 300;
    std::atomic<int> finished{0}, cancelled{0}, succeeded{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        for (int i = 0; i < kRounds; ++i) {
            NTSTATUS status = Read(handle);
            if (status == STATUS_CANCELLED)
                ++cancelled;
            else if (status == STATUS_SUCCESS)
                ++succeeded;
            ++finished;
        }
    });
    std::thread completer([&] {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!stop && std::chrono::steady_clock::now() < deadline)
            if (!lot_.CompleteOne(STATUS_SUCCESS))
                std::this_thread::yield();
    });
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (finished < kRounds && std::chrono::steady_clock::now() < deadline)
        EXPECT_EQ(nt::IoCancelFileRequests(handle), STATUS_SUCCESS);
    reader.join();
    stop = true;
    completer.join();
    EXPECT_EQ(finished.load(), kRounds);
    EXPECT_EQ(cancelled + succeeded, kRounds);
    EXPECT_EQ(lot_.Parked(), 0u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(CancelFileRequestsTest, AHandleThatIsNotAnOpenFileIsRefused)
{
    EXPECT_EQ(nt::IoCancelFileRequests(nullptr), STATUS_INVALID_HANDLE);
    HANDLE handle = Open();
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(nt::IoCancelFileRequests(handle), STATUS_INVALID_HANDLE);
}

}  // namespace
}  // namespace vlm::test
