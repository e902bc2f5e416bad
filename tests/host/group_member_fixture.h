// The IPC server in-process, serving a port group of the test's own, with
// clients that connect as its member or as a stranger to it (needs root;
// skipped otherwise).
#pragma once

#include "acting_as.h"
#include "ipc_fixture.h"
#include "stranger.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

namespace vlm::test {

// Serves a port group of the test's own; clients connect as its member.
template <class Base>
class AsGroupMember : public Base {
protected:
    void SetUp() override
    {
        Base::SetUp();  // first: its TearDown runs whatever happens here
        if (this->HasFatalFailure())
            return;
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the clients are a user of the test's own (uid " << kStrangerUid << ")";
        // As a system root is: anyone may look in (mkdtemp made it 0700).
        ASSERT_EQ(chmod(this->root_.c_str(), 0755), 0);
        this->server_.reset();
        this->options_.group = kPortGroup;
        this->server_ = std::make_unique<host::IpcServer>(this->options_, this->hooks_);
        std::string error;
        ASSERT_TRUE(this->server_->Start(&error)) << error;
    }
    std::unique_ptr<RawClient> Member()
    {
        ActingAs as(kStrangerUid, kPortGroup);
        EXPECT_TRUE(as.ok());
        auto client = std::make_unique<RawClient>(this->server_->SocketPath());
        EXPECT_TRUE(client->Hello());
        return client;
    }
    // A bare connection (no Hello, no reader) of the test's user with
    // primary group `gid`; -1 if connect() failed.
    int ConnectAs(gid_t gid)
    {
        ActingAs as(kStrangerUid, gid);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string& path = this->server_->SocketPath();
        memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path - 1));
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    host::RequestQuota& Quota() { return this->server_->Quota(); }
};

}  // namespace vlm::test
