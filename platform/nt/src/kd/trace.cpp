// The trace ring and its sinks.
//
// The ring is a fixed array of fixed-size records, so that recording never
// allocates: DbgPrint runs on the data path at DISPATCH_LEVEL, once per
// received byte when tracing is on. Records are ordered by the ring's lock;
// the stderr and file sinks are written after it is released, so two
// threads' records may reach a sink in the other order than the ring's, but
// one record is always one write and never interleaves with another.

#include "kd/kd.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace vlm::nt::kd {
namespace {

// Built on first use and never destroyed: system threads may still print
// while the process runs its static destructors.
template <class T>
class NoDestructor {
public:
    NoDestructor() { new (storage_) T(); }
    T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

struct TraceRecord {
    uint16_t length;
    char text[kKdTraceRecordBytes];
};
static_assert(kKdTraceRecordBytes <= UINT16_MAX);

// An open trace file. Shared by the writers that picked it up, so that
// KdSetTraceFile can replace it while a record is being written; the last
// one to let go closes it.
class TraceFile {
public:
    explicit TraceFile(int fd) : fd_(fd) { }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;
    ~TraceFile() { close(fd_); }
    int fd() const { return fd_; }

private:
    int fd_;
};

struct TraceState {
    // Guards records, first, count and file. DbgPrint runs at any IRQL, yet
    // this is a plain mutex and not a kernel spin lock: a spin lock would
    // raise the IRQL and run the tracer through the IRQL bookkeeping it may
    // be tracing. A DISPATCH_LEVEL caller in user mode loses nothing by
    // sleeping on it for as long as it is held: one copy of at most
    // kKdTraceRecordBytes, or a snapshot (hosts and tests only); never I/O.
    std::mutex lock;
    std::array<TraceRecord, kKdTraceRingLines> records;
    size_t first = 0;  // oldest record
    size_t count = 0;
    std::shared_ptr<TraceFile> file;

    std::atomic<bool> toStderr{false};
};

TraceState& State()
{
    static NoDestructor<TraceState> state;
    return *state;
}

// A trace sink that fails (full disk, closed pipe) loses the record; there
// is nowhere to report it. Bounded: a sink that keeps taking a byte at a
// time does not hold the caller for ever.
void WriteAll(int fd, const char* text, size_t length)
{
    for (int attempt = 0; length > 0 && attempt < 64; ++attempt) {
        const ssize_t written = write(fd, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += written;
        length -= size_t(written);
    }
}

}  // namespace

void Record(const char* text, size_t length)
{
    TraceState& state = State();
    if (length > kKdTraceRecordBytes)
        length = kKdTraceRecordBytes;
    std::shared_ptr<TraceFile> file;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        size_t slot;
        if (state.count < kKdTraceRingLines) {
            slot = (state.first + state.count) % kKdTraceRingLines;
            ++state.count;
        } else {
            slot = state.first;
            state.first = (state.first + 1) % kKdTraceRingLines;
        }
        TraceRecord& record = state.records[slot];
        record.length = uint16_t(length);
        memcpy(record.text, text, length);
        file = state.file;
    }
    if (state.toStderr.load(std::memory_order_relaxed))
        WriteAll(STDERR_FILENO, text, length);
    if (file)
        WriteAll(file->fd(), text, length);
}

}  // namespace vlm::nt::kd

namespace vlm::nt {

void KdSetTraceEnabled(bool enabled)
{
    __atomic_store_n(&KdpTraceEnabled, enabled ? 1 : 0, __ATOMIC_RELAXED);
}

bool KdTraceEnabled()
{
    return __atomic_load_n(&KdpTraceEnabled, __ATOMIC_RELAXED) != 0;
}

void KdSetTraceStderr(bool enabled)
{
    kd::State().toStderr.store(enabled, std::memory_order_relaxed);
}

bool KdSetTraceFile(const std::string& path)
{
    std::shared_ptr<kd::TraceFile> next;
    if (!path.empty()) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        next = std::make_shared<kd::TraceFile>(fd);
    }
    kd::TraceState& state = kd::State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.file.swap(next);
    }
    return true;  // the previous file, now in next, closes here unless a writer still holds it
}

std::vector<std::string> KdTraceSnapshot()
{
    std::vector<std::string> records;
    records.reserve(kKdTraceRingLines);
    kd::TraceState& state = kd::State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (size_t i = 0; i < state.count; ++i) {
        const kd::TraceRecord& record = state.records[(state.first + i) % kKdTraceRingLines];
        records.emplace_back(record.text, record.length);
    }
    return records;
}

void KdTraceClear()
{
    kd::TraceState& state = kd::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.first = 0;
    state.count = 0;
}

}  // namespace vlm::nt
