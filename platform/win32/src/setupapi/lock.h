// Device installation is serialised machine-wide, as Windows runs one
// installation at a time: numbering instances and handing out COM names
// read, decide and write, and two programs must not decide alike.
#pragma once

namespace vlm::win32::setup {

// Holds an exclusive flock on <system root>/devinst.lock for its lifetime.
// A caller who cannot create the file (no write access to the root) goes
// on unlocked: every registry change it tries is refused anyway.
class DevInstLock {
public:
    DevInstLock();
    ~DevInstLock();
    DevInstLock(const DevInstLock&) = delete;
    DevInstLock& operator=(const DevInstLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace vlm::win32::setup
