// The store's database file: creating and opening it, its schema and its
// check, the fixed keys seeded below the root, and what concerns the whole
// database (flushing, dropping the volatile keys at boot).
#include "sqlite.h"

#include "read_cache.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace vlm::nt::cm {
namespace {

// Long enough that a writer in another process (every transaction here is
// a handful of rows) never makes us give up; short enough that a wedged
// process is reported rather than waited on for ever.
constexpr int kBusyTimeoutMs = 20000;
constexpr int kSchemaVersion = 1;

}  // namespace

// ------------------------------------------------------------- open, seed

Store::Store(sqlite3* db, std::string file) : db_(db), cache_(std::make_unique<ReadCache>()), file_(std::move(file)) { }

Store::~Store()
{
    for (auto& [sql, cached] : statements_)
        sqlite3_finalize(cached.stmt);
    sqlite3_close_v2(db_);
}

namespace {

StoreStatus OpenFailure(const std::string& file, sqlite3* db, int rc)
{
    int os = db ? sqlite3_system_errno(db) : 0;
    t_lastError = file + ": cannot open: " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (os != 0)
        t_lastError += std::string(": ") + strerror(os);
    return (rc & 0xff) == SQLITE_CANTOPEN || (rc & 0xff) == SQLITE_PERM ? StoreStatus::AccessDenied
                                                                        : StoreStatus::IoError;
}

}  // namespace

StoreStatus Store::Create(const std::string& file)
{
    // Made whole under a name of its own and then given the real name in
    // one step: a registry.db that exists was therefore made by us, and
    // one that is empty or lacks the tables is someone else's.
    static std::atomic<unsigned> counter{0};
    std::string fresh = file + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    unlink(fresh.c_str());
    StoreStatus status;
    {
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(
                fresh.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE, nullptr);
        if (rc != SQLITE_OK) {
            status = OpenFailure(file, db, rc);
            sqlite3_close_v2(db);
            return status;
        }
        Store store(db, file);
        std::lock_guard guard(store.lock_);
        status = store.Build();
    }
    if (status == StoreStatus::Ok &&
            renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
        int error = errno;
        // A file system without the flag gets a link, which never replaces
        // a file either.
        if (error == EINVAL || error == ENOSYS)
            error = link(fresh.c_str(), file.c_str()) == 0 ? 0 : errno;
        // EEXIST: another process made it first, which is as good.
        if (error != 0 && error != EEXIST) {
            t_lastError = file + ": cannot create: " + strerror(error);
            status = error == EACCES || error == EPERM ? StoreStatus::AccessDenied : StoreStatus::IoError;
        }
    }
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        unlink((fresh + suffix).c_str());
    return status;
}

StoreStatus Store::Open(const std::string& file, std::unique_ptr<Store>* store, bool readOnly)
{
    store->reset();
    struct stat st;
    if (!readOnly && stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            t_lastError = file + ": cannot open: " + strerror(errno);
            return errno == EACCES ? StoreStatus::AccessDenied : StoreStatus::IoError;
        }
        if (StoreStatus status = Create(file); status != StoreStatus::Ok)
            return status;
    }
    // Never SQLITE_OPEN_CREATE here: a file that went in the meantime is
    // not silently replaced by an empty registry.
    sqlite3* db = nullptr;
    int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_EXRESCODE;
    int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        StoreStatus status = OpenFailure(file, db, rc);
        sqlite3_close_v2(db);
        return status;
    }
    std::unique_ptr<Store> opened(new Store(db, file));
    std::lock_guard guard(opened->lock_);
    StoreStatus status = opened->Initialize(readOnly);
    if (status != StoreStatus::Ok)
        return status;
    *store = std::move(opened);
    return StoreStatus::Ok;
}

StoreStatus Store::Build()
{
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    Transaction tx(*this, true);
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    static const char* const kSchema[] = {
            "CREATE TABLE keys("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " parent INTEGER NOT NULL,"
            " name TEXT NOT NULL,"
            " folded TEXT NOT NULL,"
            " class TEXT,"
            " volatile INTEGER NOT NULL DEFAULT 0,"
            " last_write INTEGER NOT NULL,"
            " UNIQUE(parent, folded))",
            "CREATE TABLE vals("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " key INTEGER NOT NULL,"
            " name TEXT NOT NULL,"
            " folded TEXT NOT NULL,"
            " type INTEGER NOT NULL,"
            " data BLOB NOT NULL,"
            " UNIQUE(key, folded))",
            "CREATE INDEX vals_order ON vals(key, id)",
            "PRAGMA user_version=1",
    };
    for (const char* sql : kSchema) {
        if (StoreStatus s = Exec(sql); s != StoreStatus::Ok)
            return s;
    }
    if (StoreStatus s = Seed(true); s != StoreStatus::Ok)
        return s;
    return tx.Commit();
}

StoreStatus Store::CheckOurs()
{
    Transaction tx(*this, false);
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    Statement version(*this, "PRAGMA user_version");
    if (version.Step() != SQLITE_ROW)
        return Fail("read the schema version");
    int64_t found = version.Int(0);
    Statement tables(*this, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
    if (tables.Step() != SQLITE_ROW)
        return Fail("list the tables");
    int64_t ours = tables.Int(0);
    if (found == kSchemaVersion && ours == 2)
        return StoreStatus::Ok;
    if (found > kSchemaVersion) {
        t_lastError = file_ + ": registry schema " + std::to_string(found) + " is not this build's " +
                std::to_string(kSchemaVersion);
    } else {
        struct stat st;
        bool empty = stat(file_.c_str(), &st) == 0 && st.st_size == 0;
        t_lastError = file_ + ": not a registry database: " +
                (empty                                    ? std::string("the file is empty (0 bytes)")
                                : found == 0 && ours == 0 ? std::string("it has no registry tables")
                                                          : "schema version " + std::to_string(found) + " with " +
                                        std::to_string(ours) + " of the 2 registry tables") +
                "; move it away to start with an empty registry";
    }
    return StoreStatus::IoError;
}

StoreStatus Store::Initialize(bool readOnly)
{
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    // Before anything is written: a file that is not ours stays as it is.
    if (StoreStatus s = CheckOurs(); s != StoreStatus::Ok)
        return s;
    if (!readOnly) {
        // WAL is a property of the file: the first opener switches it, later
        // ones find it set. NORMAL keeps commits atomic and ordered; Flush()
        // gives durability on demand, as ZwFlushKey promises.
        if (StoreStatus s = Exec("PRAGMA journal_mode=WAL"); s != StoreStatus::Ok)
            return s;
        if (StoreStatus s = Exec("PRAGMA synchronous=NORMAL"); s != StoreStatus::Ok)
            return s;
    }
    Transaction tx(*this, !readOnly);
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    if (readOnly)
        return Seed(false);
    // The fixed keys, should one have gone.
    if (StoreStatus s = Seed(true); s != StoreStatus::Ok)
        return s;
    return tx.Commit();
}

// Creates what is missing of a fixed path below the root, bypassing the
// rule that keeps callers from adding keys directly under REGISTRY; or,
// without create, only finds it.
StoreStatus Store::EnsurePath(const std::vector<const char*>& path, KeyId* key, bool create)
{
    KeyId at = root_;
    int64_t now = NtTimeNow();
    for (const char* component : path) {
        KeyId child;
        StoreStatus status = Child(at, FoldName(component), &child);
        if (status == StoreStatus::NotFound && create)
            status = InsertKey(at, component, CreateOptions{}, now, &child);
        if (status != StoreStatus::Ok)
            return status;
        at = child;
    }
    *key = at;
    return StoreStatus::Ok;
}

StoreStatus Store::Seed(bool create)
{
    // The hive roots: never deleted, so their ids stay valid for good.
    static const std::vector<const char*> kHiveRoots[] = {
            {"MACHINE"},
            {"USER"},
            {"MACHINE", "SYSTEM"},
            {"MACHINE", "SOFTWARE"},
            {"MACHINE", "HARDWARE"},
            {"USER", ".DEFAULT"},
    };
    // Keys every Windows system has, which the RTL_REGISTRY_* relative
    // paths start from.
    static const std::vector<const char*> kBases[] = {
            {"MACHINE", "HARDWARE", "DEVICEMAP"},
            {"MACHINE", "SYSTEM", "CurrentControlSet", "Control"},
            {"MACHINE", "SYSTEM", "CurrentControlSet", "Services"},
            {"MACHINE", "SYSTEM", "CurrentControlSet", "Enum"},
            {"MACHINE", "SOFTWARE", "Microsoft", "Windows NT", "CurrentVersion"},
    };
    StoreStatus status = Child(0, "REGISTRY", &root_);
    if (status == StoreStatus::NotFound && create)
        status = InsertKey(0, "REGISTRY", CreateOptions{}, NtTimeNow(), &root_);
    std::vector<KeyId> hiveRoots = {root_};
    for (const auto& path : kHiveRoots) {
        if (status != StoreStatus::Ok)
            break;
        KeyId id;
        status = EnsurePath(path, &id, create);
        hiveRoots.push_back(id);
    }
    for (const auto& path : kBases) {
        if (status != StoreStatus::Ok || !create)
            break;
        KeyId unused;
        status = EnsurePath(path, &unused);
    }
    if (status == StoreStatus::NotFound) {
        t_lastError = file_ + ": the registry has not been set up";
        return StoreStatus::IoError;
    }
    if (status == StoreStatus::Ok)
        protected_ = std::move(hiveRoots);
    return status;
}

// ------------------------------------------------------ whole database

StoreStatus Store::Flush()
{
    std::lock_guard guard(lock_);
    // PASSIVE never waits for readers; the WAL is synced before any page
    // is copied, which is what makes the committed changes durable.
    int logFrames = 0, copied = 0;
    int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copied);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY)
        return Fail("checkpoint");
    return StoreStatus::Ok;
}

StoreStatus Store::ResetVolatile()
{
    std::lock_guard guard(lock_);
    Transaction tx(*this, true);
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    KeyId hardware;
    if (StoreStatus s = EnsurePath({"MACHINE", "HARDWARE"}, &hardware); s != StoreStatus::Ok)
        return s;
    // Everything below HARDWARE, and every volatile key, with their subtrees.
    static const char* const kDoomed = "WITH RECURSIVE doomed(id) AS ("
                                       " SELECT id FROM keys WHERE parent=?1 OR volatile<>0"
                                       " UNION SELECT k.id FROM keys k JOIN doomed d ON k.parent = d.id) ";
    for (const char* action :
            {"DELETE FROM vals WHERE key IN doomed OR key=?1", "DELETE FROM keys WHERE id IN doomed"}) {
        Statement stmt(*this, (std::string(kDoomed) + action).c_str());
        stmt.Bind(1, hardware);
        if (stmt.Step() != SQLITE_DONE)
            return Fail("drop volatile keys");
    }
    KeyId deviceMap;
    if (StoreStatus s = EnsurePath({"MACHINE", "HARDWARE", "DEVICEMAP"}, &deviceMap); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = Touch(hardware, NtTimeNow()); s != StoreStatus::Ok)
        return s;
    return tx.Commit();
}

}  // namespace vlm::nt::cm
