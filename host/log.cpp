#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vlm::host {
namespace {

std::mutex g_logLock;  // guards g_sink and keeps each line whole on stdout
std::function<void(const std::string&)> g_sink;

}  // namespace

void Log(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard guard(g_logLock);
    if (g_sink) {
        g_sink(text);
        return;
    }
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void SetLogSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard guard(g_logLock);
    g_sink = std::move(sink);
}

}  // namespace vlm::host
