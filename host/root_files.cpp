#include "root_files.h"

#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vlm::host {
namespace {

// Brings the file at `path` to `mode` (of the permission bits) and the
// owner and group given (-1: left as it is); a missing file is left
// missing. True when something had to change.
bool Mend(const std::string& path, mode_t mode, uid_t owner, gid_t group, const char* who)
{
    int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            Log("%s: cannot check who may open it: %s", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    bool mended = false;
    if (fstat(fd, &st) != 0) {
        Log("%s: cannot check who may open it: %s", path.c_str(), strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        Log("%s is not a regular file; left as it is", path.c_str());
    } else {
        uid_t wantOwner = owner == uid_t(-1) ? st.st_uid : owner;
        gid_t wantGroup = group == gid_t(-1) ? st.st_gid : group;
        mode_t was = st.st_mode & 07777;
        if (st.st_uid != wantOwner || st.st_gid != wantGroup || was != mode) {
            // Through /proc: an O_PATH descriptor names the file we checked,
            // not whatever is at the path by now.
            std::string self = "/proc/self/fd/" + std::to_string(fd);
            bool changed = (st.st_uid == wantOwner && st.st_gid == wantGroup) ||
                    chown(self.c_str(), wantOwner, wantGroup) == 0;
            if (!changed)
                Log("%s: cannot give it to uid %u gid %u: %s", path.c_str(), unsigned(wantOwner), unsigned(wantGroup),
                        strerror(errno));
            if (chmod(self.c_str(), mode) != 0) {
                Log("%s: cannot set mode %04o: %s", path.c_str(), unsigned(mode), strerror(errno));
                changed = false;
            }
            Log("%s was mode %04o uid %u gid %u: %s mode %04o uid %u gid %u (only %s may open it)", path.c_str(),
                    unsigned(was), unsigned(st.st_uid), unsigned(st.st_gid), changed ? "now" : "could not be made",
                    unsigned(mode), unsigned(wantOwner), unsigned(wantGroup), who);
            mended = true;
        }
    }
    close(fd);
    return mended;
}

}  // namespace

void CloseNewFilesToOthers()
{
    mode_t previous = umask(0);
    umask(previous | 007);
}

int CloseRootFiles(const std::string& systemRoot, gid_t group)
{
    int mended = 0;
    const uid_t self = geteuid();
    // Device installation takes this lock; made here when missing, so that
    // whoever installs first cannot leave it to someone else.
    std::string devinst = systemRoot + "/devinst.lock";
    int fd = open(devinst.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    else if (errno != EEXIST)
        Log("%s: cannot create: %s", devinst.c_str(), strerror(errno));
    for (const char* name : {"vlmhost.lock", "devinst.lock"})
        mended += Mend(systemRoot + "/" + name, 0600, self, gid_t(-1), "root and vlmhost's user");
    // The group keeps the rights it had (read only, as SQLite makes them,
    // unless an administrator gave more); others keep none.
    const std::string registry = systemRoot + "/registry.db";
    struct stat st;
    mode_t mode = 0640;
    if (stat(registry.c_str(), &st) == 0)
        mode = (st.st_mode & 0770) | 0600;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        mended += Mend(registry + suffix, mode, uid_t(-1), group, "root, vlmhost's user and its group");
    return mended;
}

}  // namespace vlm::host
