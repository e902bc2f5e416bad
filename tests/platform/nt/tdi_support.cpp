#include "tdi_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;

// Loops below also stop after this many rounds, whatever the clock says.
constexpr int kMaxRounds = 1000000;

Clock::time_point DeadlineIn(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, 1000));
}

// Waits for `events` on fd until the deadline; false when time ran out.
bool PollFor(int fd, short events, Clock::time_point deadline)
{
    for (int round = 0; round < kMaxRounds && Clock::now() < deadline; ++round) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, MillisecondsLeft(deadline));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
    return false;
}

sockaddr_in Loopback(USHORT port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

USHORT BoundPort(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

}  // namespace

LARGE_INTEGER RealTimeout(double seconds)
{
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(seconds * nt::KeGetClockSpeedup() * 10000000.0);
    return t;
}

// ------------------------------------------------------------ UniqueFd

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

UniqueFd::~UniqueFd()
{
    reset();
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

// ------------------------------------------------------------ peers

LoopbackListener::LoopbackListener(int backlog, int receiveBuffer) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    if (receiveBuffer > 0)
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in a = Loopback(0);
    if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd_.get(), backlog) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1: errno " << errno;
        return;
    }
    port_ = BoundPort(fd_.get());
}

UniqueFd LoopbackListener::Accept(double seconds)
{
    if (!PollFor(fd_.get(), POLLIN, DeadlineIn(seconds)))
        return UniqueFd();
    return UniqueFd(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

ClosedPort::ClosedPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in a = Loopback(0);
    if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ADD_FAILURE() << "cannot bind 127.0.0.1: errno " << errno;
        return;
    }
    port_ = BoundPort(fd_.get());
}

bool ReadExactly(int fd, size_t n, std::string* out, double seconds)
{
    const auto deadline = DeadlineIn(seconds);
    char buffer[65536];
    for (int round = 0; round < kMaxRounds && out->size() < n; ++round) {
        if (!PollFor(fd, POLLIN, deadline))
            return false;
        const ssize_t got = recv(fd, buffer, std::min(sizeof buffer, n - out->size()), MSG_DONTWAIT);
        if (got == 0)
            return false;
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        out->append(buffer, size_t(got));
    }
    return out->size() == n;
}

int ReadUntilError(int fd, std::string* out, double seconds)
{
    const auto deadline = DeadlineIn(seconds);
    char buffer[65536];
    for (int round = 0; round < kMaxRounds; ++round) {
        if (!PollFor(fd, POLLIN, deadline))
            return ETIMEDOUT;
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return errno;
        }
        out->append(buffer, size_t(got));
    }
    return ETIMEDOUT;
}

bool ReadToEnd(int fd, std::string* out, double seconds)
{
    return ReadUntilError(fd, out, seconds) == 0;
}

bool WriteAll(int fd, const void* data, size_t n, double seconds)
{
    const auto deadline = DeadlineIn(seconds);
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    for (int round = 0; round < kMaxRounds && done < n; ++round) {
        if (!PollFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t sent = send(fd, bytes + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        done += size_t(sent);
    }
    return done == n;
}

int BytesQueued(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

void CloseWithReset(UniqueFd& fd)
{
    const linger reset{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd.reset();
}

std::string PatternBytes(size_t n, size_t start)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = Pattern(start + i);
    return s;
}

// ------------------------------------------------------------ requests

TdiCall::TdiCall(PFILE_OBJECT file) : file_(file), device_(IoGetRelatedDeviceObject(file))
{
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_ = TdiBuildInternalDeviceControlIrp(0, device_, file_, &event_, &iosb_);
    if (!irp_) {
        fprintf(stderr, "TdiCall: no IRP\n");
        std::abort();
    }
}

TdiCall::~TdiCall()
{
    if (!called_) {
        // Never sent: the I/O manager still frees it (and its MDL).
        irp_->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp_, IO_NO_INCREMENT);
        return;
    }
    Finish();
}

NTSTATUS TdiCall::Completed(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto* self = static_cast<TdiCall*>(Context);
    std::lock_guard guard(self->lock_);
    self->status_ = Irp->IoStatus.Status;
    self->information_ = Irp->IoStatus.Information;
    self->completions_.fetch_add(1);
    self->done_.notify_all();
    // Kept until Finish, which completes it to the I/O manager.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TdiCall::Call()
{
    called_ = true;
    return IoCallDriver(device_, irp_);
}

bool TdiCall::Wait(double seconds)
{
    std::unique_lock guard(lock_);
    return done_.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return completions_.load() > 0; });
}

NTSTATUS TdiCall::Finish(double seconds)
{
    if (finished_)
        return status_;
    if (!Wait(seconds)) {
        IoCancelIrp(irp_);
        if (!Wait(seconds)) {
            fprintf(stderr, "TdiCall: request %p never completed, even cancelled\n", static_cast<void*>(irp_));
            std::abort();
        }
    }
    finished_ = true;
    IoCompleteRequest(irp_, IO_NO_INCREMENT);
    EXPECT_EQ(iosb_.Status, status_) << "the I/O manager reports what the transport completed with";
    return status_;
}

void TdiObject::Close()
{
    if (file)
        ObDereferenceObject(file);
    file = nullptr;
    if (handle)
        ZwClose(handle);
    handle = nullptr;
}

std::vector<UCHAR> TransportAddressEa(ULONG address, USHORT port)
{
    std::vector<UCHAR> ea(328, 0);
    FILE_FULL_EA_INFORMATION header{};
    header.EaNameLength = TDI_TRANSPORT_ADDRESS_LENGTH;
    header.EaValueLength = 42;
    memcpy(ea.data(), &header, FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName));
    memcpy(ea.data() + 8, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH + 1);
    TA_IP_ADDRESS value{};
    value.TAAddressCount = 1;
    value.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    value.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    value.Address[0].Address[0].sin_port = port;
    value.Address[0].Address[0].in_addr = address;
    memcpy(ea.data() + 25, &value, sizeof value);
    return ea;
}

std::vector<UCHAR> ConnectionEa(ULONG context)
{
    std::vector<UCHAR> ea(34, 0);
    FILE_FULL_EA_INFORMATION header{};
    header.EaNameLength = TDI_CONNECTION_CONTEXT_LENGTH;
    header.EaValueLength = 4;
    memcpy(ea.data(), &header, FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName));
    memcpy(ea.data() + 8, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH + 1);
    memcpy(ea.data() + 26, &context, sizeof context);
    return ea;
}

NTSTATUS OpenTcp(std::vector<UCHAR>& ea, HANDLE* handle)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Tcp");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    // 0x18: FILE_READ_EA | FILE_WRITE_EA, as the driver asks.
    return ZwCreateFile(handle, 0x18, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, 0,
            ea.empty() ? nullptr : ea.data(), ULONG(ea.size()));
}

NTSTATUS OpenTransportObject(std::vector<UCHAR> ea, TdiObject* object)
{
    NTSTATUS status = OpenTcp(ea, &object->handle);
    if (!NT_SUCCESS(status))
        return status;
    PVOID file;
    status = ObReferenceObjectByHandle(
            object->handle, GENERIC_READ | GENERIC_WRITE, nullptr, KernelMode, &file, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(object->handle);
        object->handle = nullptr;
        return status;
    }
    object->file = static_cast<PFILE_OBJECT>(file);
    return STATUS_SUCCESS;
}

NTSTATUS Associate(PFILE_OBJECT connection, HANDLE address)
{
    TdiCall call(connection);
    TdiBuildAssociateAddress(call.irp(), call.device(), connection, TdiCall::Completed, &call, address);
    call.Call();
    return call.Finish();
}

NTSTATUS Disassociate(PFILE_OBJECT connection)
{
    TdiCall call(connection);
    TdiBuildDisassociateAddress(call.irp(), call.device(), connection, TdiCall::Completed, &call);
    call.Call();
    return call.Finish();
}

NTSTATUS SetEventHandler(PFILE_OBJECT address, LONG type, PVOID handler, PVOID context)
{
    TdiCall call(address);
    TdiBuildSetEventHandler(call.irp(), call.device(), address, TdiCall::Completed, &call, type, handler, context);
    call.Call();
    return call.Finish();
}

void BuildConnect(TdiCall& call, USHORT port, PLARGE_INTEGER timeout, std::vector<UCHAR>& remote,
        TDI_CONNECTION_INFORMATION& request, TDI_CONNECTION_INFORMATION& returned)
{
    remote.assign(256, 0);
    TA_IP_ADDRESS address{};
    address.TAAddressCount = 1;
    address.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    address.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    address.Address[0].Address[0].sin_port = htons(port);
    address.Address[0].Address[0].in_addr = htonl(INADDR_LOOPBACK);
    memcpy(remote.data(), &address, sizeof address);
    request = TDI_CONNECTION_INFORMATION{};
    request.RemoteAddressLength = 18;
    request.RemoteAddress = remote.data();
    returned = TDI_CONNECTION_INFORMATION{};
    TdiBuildConnect(call.irp(), call.device(), call.file(), TdiCall::Completed, &call, timeout, &request, &returned);
}

NTSTATUS Connect(PFILE_OBJECT connection, USHORT port, PLARGE_INTEGER timeout)
{
    TdiCall call(connection);
    std::vector<UCHAR> remote;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    BuildConnect(call, port, timeout, remote, request, returned);
    call.Call();
    return call.Finish();
}

void BuildSend(TdiCall& call, const void* data, ULONG length)
{
    PMDL mdl = IoAllocateMdl(const_cast<void*>(data), length, FALSE, FALSE, nullptr);
    if (!mdl) {
        fprintf(stderr, "BuildSend: no MDL\n");
        std::abort();
    }
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    TdiBuildSend(call.irp(), call.device(), call.file(), TdiCall::Completed, &call, mdl, 0, length);
}

NTSTATUS Send(PFILE_OBJECT connection, const void* data, ULONG length, ULONG_PTR* sent)
{
    TdiCall call(connection);
    BuildSend(call, data, length);
    call.Call();
    const NTSTATUS status = call.Finish();
    if (sent)
        *sent = call.information();
    return status;
}

void BuildDisconnect(TdiCall& call, ULONG flags, PLARGE_INTEGER timeout)
{
    TdiBuildDisconnect(
            call.irp(), call.device(), call.file(), TdiCall::Completed, &call, timeout, flags, nullptr, nullptr);
}

NTSTATUS Disconnect(PFILE_OBJECT connection, ULONG flags, PLARGE_INTEGER timeout)
{
    TdiCall call(connection);
    BuildDisconnect(call, flags, timeout);
    call.Call();
    return call.Finish();
}

namespace {
constexpr ULONG kTestBufferTag = nt::PoolTag("TdiT");
}

PoolBuffer::PoolBuffer(ULONG length)
    : data_(ExAllocatePoolWithTag(NonPagedPool, length, kTestBufferTag)),
      mdl_(IoAllocateMdl(data_, length, FALSE, FALSE, nullptr))
{
    if (!data_ || !mdl_) {
        fprintf(stderr, "PoolBuffer: out of pool\n");
        std::abort();
    }
    memset(data_, 0, length);
    MmBuildMdlForNonPagedPool(mdl_);
}

PoolBuffer::~PoolBuffer()
{
    ExFreePoolWithTag(data_, kTestBufferTag);
}

void BuildReceive(TdiCall& call, PoolBuffer& buffer, ULONG length)
{
    TdiBuildReceive(call.irp(), call.device(), call.file(), TdiCall::Completed, &call, buffer.mdl(), TDI_RECEIVE_NORMAL,
            length);
}

// ------------------------------------------------------------ handlers

NTSTATUS HandlerLog::OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
        ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
{
    auto* log = static_cast<HandlerLog*>(TdiEventContext);
    std::function<void()> extra;
    {
        std::lock_guard guard(log->lock);
        const int call = log->receiveCalls++;
        ULONG take = log->takePolicy_ ? log->takePolicy_(BytesIndicated, call) : BytesIndicated;
        take = std::min(take, BytesIndicated);
        log->received.append(static_cast<const char*>(Tsdu), take);
        log->entries.push_back({false, ReceiveFlags, BytesIndicated, BytesAvailable, take});
        log->irqls.push_back(KeGetCurrentIrql());
        log->threads.push_back(std::this_thread::get_id());
        log->contexts.push_back(ConnectionContext);
        *BytesTaken = take;
        *IoRequestPacket = nullptr;
        extra = log->extraWork_;
    }
    log->changed_.notify_all();
    if (extra)
        extra();
    return STATUS_SUCCESS;
}

NTSTATUS HandlerLog::OnDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
        LONG DisconnectDataLength, PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation,
        ULONG DisconnectFlags)
{
    auto* log = static_cast<HandlerLog*>(TdiEventContext);
    {
        std::lock_guard guard(log->lock);
        ++log->disconnects;
        log->lastDisconnectFlags = DisconnectFlags;
        log->entries.push_back({true, DisconnectFlags, 0, 0, 0});
        log->irqls.push_back(KeGetCurrentIrql());
        log->threads.push_back(std::this_thread::get_id());
        log->contexts.push_back(ConnectionContext);
    }
    log->changed_.notify_all();
    return STATUS_SUCCESS;
}

void HandlerLog::SetTakePolicy(std::function<ULONG(ULONG, int)> policy)
{
    std::lock_guard guard(lock);
    takePolicy_ = std::move(policy);
}

void HandlerLog::SetExtraWork(std::function<void()> work)
{
    std::lock_guard guard(lock);
    extraWork_ = std::move(work);
}

bool HandlerLog::WaitFor(const std::function<bool()>& predicate, double seconds)
{
    std::unique_lock guard(lock);
    return changed_.wait_for(guard, std::chrono::duration<double>(seconds), predicate);
}

// ------------------------------------------------------------ client

void TdiClient::Open(ULONG connectionContext)
{
    ASSERT_EQ(OpenTransportObject(TransportAddressEa(), &address), STATUS_SUCCESS);
    ASSERT_EQ(OpenTransportObject(ConnectionEa(connectionContext), &connection), STATUS_SUCCESS);
    ASSERT_EQ(Associate(connection.file, address.handle), STATUS_SUCCESS);
}

void TdiClient::RegisterHandlers(HandlerLog& log)
{
    ASSERT_EQ(SetEventHandler(address.file, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(HandlerLog::OnReceive), &log),
            STATUS_SUCCESS);
    ASSERT_EQ(SetEventHandler(
                      address.file, TDI_EVENT_DISCONNECT, reinterpret_cast<PVOID>(HandlerLog::OnDisconnect), &log),
            STATUS_SUCCESS);
}

NTSTATUS TdiClient::ConnectTo(USHORT port, double timeoutSeconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(timeoutSeconds * 10000000.0);
    return Connect(connection.file, port, &timeout);
}

void TdiClient::Close()
{
    if (connection.file)
        Disassociate(connection.file);
    connection.Close();
    address.Close();
}

}  // namespace vlm::test
