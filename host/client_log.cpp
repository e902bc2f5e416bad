#include "client_log.h"

#include "log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace vlm::host {
namespace {

using Clock = std::chrono::steady_clock;

struct Ration {
    double lines = 0;          // lines the user may still cause now
    Clock::time_point filled;  // when `lines` was last topped up
    uint64_t suppressed = 0;   // left out since the last count was written
};

std::mutex g_lock;  // guards g_limits and g_rations
ClientLogLimits g_limits;
std::map<uid_t, Ration> g_rations;

// Tops the ration up for the time gone by; g_lock held.
void TopUp(Ration& ration, Clock::time_point now)
{
    double seconds = std::chrono::duration<double>(now - ration.filled).count();
    ration.lines = std::min<double>(g_limits.burst, ration.lines + seconds * g_limits.perSecond);
    ration.filled = now;
}

void ReportSuppressed(uid_t uid, uint64_t count)
{
    if (uid == uid_t(-1))
        Log("%llu line(s) about clients of unknown users left out", static_cast<unsigned long long>(count));
    else
        Log("%llu line(s) about clients of uid %u left out", static_cast<unsigned long long>(count), unsigned(uid));
}

}  // namespace

void ClientLog(uid_t uid, const char* format, ...)
{
    uint64_t suppressed = 0;
    {
        std::lock_guard guard(g_lock);
        auto now = Clock::now();
        auto [it, fresh] = g_rations.try_emplace(uid);
        Ration& ration = it->second;
        if (fresh) {
            ration.lines = g_limits.burst;
            ration.filled = now;
        }
        TopUp(ration, now);
        if (ration.lines < 1) {
            ++ration.suppressed;
            return;
        }
        ration.lines -= 1;
        suppressed = ration.suppressed;
        ration.suppressed = 0;
    }
    // The count comes before the line that follows the gap.
    if (suppressed)
        ReportSuppressed(uid, suppressed);
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log("%s", text);
}

std::chrono::milliseconds FlushClientLog()
{
    std::vector<std::pair<uid_t, uint64_t>> counts;
    auto next = std::chrono::milliseconds::zero();
    {
        std::lock_guard guard(g_lock);
        auto now = Clock::now();
        for (auto it = g_rations.begin(); it != g_rations.end();) {
            Ration& ration = it->second;
            TopUp(ration, now);
            if (ration.suppressed && ration.lines >= 1) {
                ration.lines -= 1;
                counts.emplace_back(it->first, ration.suppressed);
                ration.suppressed = 0;
            } else if (ration.suppressed) {
                double seconds = (1 - ration.lines) / std::max<uint32_t>(g_limits.perSecond, 1);
                auto wait = std::chrono::milliseconds(int64_t(1000 * seconds) + 1);
                next = next.count() == 0 ? wait : std::min(next, wait);
            }
            // A full ration with nothing pending is the same as none.
            if (!ration.suppressed && ration.lines >= g_limits.burst)
                it = g_rations.erase(it);
            else
                ++it;
        }
    }
    for (auto [uid, count] : counts)
        ReportSuppressed(uid, count);
    return next;
}

void SetClientLogLimits(ClientLogLimits limits)
{
    std::lock_guard guard(g_lock);
    g_limits = limits;
    g_rations.clear();
}

}  // namespace vlm::host
