// The store's SQLite plumbing: failures turned into statuses and the
// thread's last error, and plain statements.
#include "sqlite.h"

#include <cstring>

namespace vlm::nt::cm {

thread_local std::string t_lastError;

StoreStatus Store::Fail(const char* what)
{
    int code = sqlite3_extended_errcode(db_);
    std::string cause = sqlite3_errmsg(db_);
    if ((code & 0xff) == SQLITE_NOTADB)
        cause = "not a registry database (" + cause + ")";
    else if ((code & 0xff) == SQLITE_CORRUPT)
        cause = "the registry database is corrupt (" + cause + ")";
    else if (int os = sqlite3_system_errno(db_);
             os != 0 && ((code & 0xff) == SQLITE_IOERR || (code & 0xff) == SQLITE_CANTOPEN))
        cause += std::string(": ") + strerror(os);
    t_lastError = file_ + ": " + what + ": " + cause + " (" + std::to_string(code) + ")";
    switch (code & 0xff) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return StoreStatus::AccessDenied;
    default:
        return StoreStatus::IoError;
    }
}

const std::string& Store::LastError()
{
    return t_lastError;
}

StoreStatus Store::Exec(const char* sql)
{
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail(sql);
    return StoreStatus::Ok;
}

}  // namespace vlm::nt::cm
