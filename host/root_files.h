// Who may open what vlmhost keeps under its system root. A file lock can
// be taken through any descriptor, read-only ones included, and SQLite's
// WAL locks are byte-range locks on <root>/registry.db-shm: whoever can
// open a file can stall its users. So the lock files are vlmhost's user's
// alone (root gets in regardless), and the registry's files belong to the
// group that may use the ports, closed to everyone else.
#pragma once

#include <sys/types.h>

#include <string>

namespace vlm::host {

// Files vlmhost creates from here on are closed to others (umask 007):
// the registry's files are made by SQLite with its own default mode.
void CloseNewFilesToOthers();

// Checks every file of the root that a stranger could lock, and mends
// what it finds open, with a log line for each: the lock files
// (vlmhost.lock, devinst.lock; the latter is created if missing so that
// it is vlmhost's user's) become mode 0600 and vlmhost's user's; the
// registry's files (registry.db, -wal, -shm, -journal) lose every right
// of others and go to `group`. Returns how many files were mended.
int CloseRootFiles(const std::string& systemRoot, gid_t group);

}  // namespace vlm::host
