#include "ipc_fixture.h"

#include "log.h"

#include <unistd.h>

namespace vlm::test {

void IpcTest::SetUp()
{
    PortTest::SetUp();
    if (HasFatalFailure())
        return;
    host::SetLogSink([this](const std::string& line) {
        std::lock_guard guard(logLock_);
        log_.push_back(line);
        logged_.notify_all();
    });
    hooks_.portsAdded = [this] {
        std::lock_guard guard(logLock_);
        hookCalls_.push_back("portsAdded");
    };
    hooks_.removeWithoutTerminal = [this](const std::string& port, const std::function<NTSTATUS()>& removal) {
        {
            std::lock_guard guard(logLock_);
            hookCalls_.push_back("drop " + port);
        }
        NTSTATUS status = removal();
        if (!NT_SUCCESS(status)) {
            std::lock_guard guard(logLock_);
            hookCalls_.push_back("offer again " + port);
        }
        return status;
    };
    options_.systemRoot = root_;
    options_.group = getegid();
    server_ = std::make_unique<host::IpcServer>(options_, hooks_);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
}

void IpcTest::TearDown()
{
    server_.reset();  // every client's handles closed before the leak check
    host::SetLogSink({});
    PortTest::TearDown();
}

std::unique_ptr<RawClient> IpcTest::Client()
{
    auto client = std::make_unique<RawClient>(server_->SocketPath());
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(client->Hello());
    return client;
}

bool IpcTest::WaitForLog(const std::string& text, std::chrono::milliseconds limit)
{
    std::unique_lock guard(logLock_);
    return logged_.wait_for(guard, limit, [&] {
        for (const auto& line : log_)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    });
}

std::vector<std::string> IpcTest::HookCalls()
{
    std::lock_guard guard(logLock_);
    return hookCalls_;
}

bool IpcTest::LogHas(const std::string& text)
{
    return WaitForLog(text, std::chrono::milliseconds(0));
}

std::string IpcTest::LogText()
{
    std::lock_guard guard(logLock_);
    std::string text;
    for (const auto& line : log_)
        text += line + "\n";
    return text;
}

}  // namespace vlm::test
