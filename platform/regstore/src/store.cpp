// The SQLite layer of the registry. See store.h for the schema and the
// concurrency rules.
#include "vlm/regstore/store.h"

#include "read_cache.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vlm::nt::cm {
namespace {

// Long enough that a writer in another process (every transaction here is
// a handful of rows) never makes us give up; short enough that a wedged
// process is reported rather than waited on for ever.
constexpr int kBusyTimeoutMs = 20000;
constexpr int kSchemaVersion = 1;
// Parent chains are acyclic by construction; this only bounds a damaged file.
constexpr int kMaxDepth = 512;

thread_local std::string t_lastError;

// The calling thread's read run: how deep, and which cache contents its
// first read found current (a store and that cache's epoch).
struct ReadRun {
    int depth = 0;
    const void* store = nullptr;
    uint64_t epoch = 0;
};
thread_local ReadRun t_readRun;

std::atomic<uint64_t> g_cacheEpochs{0};

}  // namespace

const char* StoreStatusName(StoreStatus status)
{
    switch (status) {
    case StoreStatus::Ok: return "Ok";
    case StoreStatus::NotFound: return "NotFound";
    case StoreStatus::KeyDeleted: return "KeyDeleted";
    case StoreStatus::HasSubkeys: return "HasSubkeys";
    case StoreStatus::Protected: return "Protected";
    case StoreStatus::AccessDenied: return "AccessDenied";
    case StoreStatus::NameInvalid: return "NameInvalid";
    case StoreStatus::ParameterInvalid: return "ParameterInvalid";
    case StoreStatus::NoMoreEntries: return "NoMoreEntries";
    case StoreStatus::IoError: return "IoError";
    }
    return "?";
}

std::string FoldName(std::string_view utf8)
{
    std::string folded(utf8);
    for (size_t i = 0; i < folded.size(); ++i) {
        auto c = static_cast<unsigned char>(folded[i]);
        if (c >= 'a' && c <= 'z') {
            folded[i] = char(c - 0x20);
        } else if (c == 0xC3 && i + 1 < folded.size()) {
            // U+00E0..U+00FE is C3 A0..C3 BE; its upper case is 0x20 lower.
            auto next = static_cast<unsigned char>(folded[i + 1]);
            if (next >= 0xA0 && next <= 0xBE && next != 0xB7)
                folded[i + 1] = char(next - 0x20);
            ++i;
        }
    }
    return folded;
}

size_t Utf16Length(std::string_view utf8)
{
    size_t units = 0;
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80)
            ++units;
        if (c >= 0xF0)
            ++units;  // outside the BMP: a surrogate pair
    }
    return units;
}

int64_t NtTimeNow()
{
    constexpr int64_t kUnixEpochAsNt = 116444736000000000LL;
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsNt + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// ---------------------------------------------------------------- helpers

class Store::Statement {
public:
    // The store's cached statement for `sql`, or one of its own when that is
    // in use further up the stack. Called with the store's lock held.
    Statement(Store& store, const char* sql)
    {
        Cached& cached = store.statements_[sql];
        if (cached.stmt && !cached.busy) {
            stmt_ = cached.stmt;
            cached_ = &cached;
            cached.busy = true;
            rc_ = SQLITE_OK;
            return;
        }
        rc_ = sqlite3_prepare_v3(store.db_, sql, -1, cached.stmt || cached.busy ? 0 : SQLITE_PREPARE_PERSISTENT,
                                 &stmt_, nullptr);
        if (rc_ == SQLITE_OK && !cached.stmt && !cached.busy) {
            cached.stmt = stmt_;
            cached.busy = true;
            cached_ = &cached;
        }
    }
    ~Statement()
    {
        if (!cached_) {
            sqlite3_finalize(stmt_);
            return;
        }
        // Ready for its next user: no row held, no read lock kept, no bytes bound.
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        cached_->busy = false;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Prepared() const { return rc_ == SQLITE_OK; }
    sqlite3_stmt* get() const { return stmt_; }

    Statement& Bind(int index, int64_t value)
    {
        Keep(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& Bind(int index, std::string_view text)
    {
        Keep(sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindOptional(int index, const std::optional<std::string>& text)
    {
        if (text)
            return Bind(index, *text);
        Keep(sqlite3_bind_null(stmt_, index));
        return *this;
    }
    Statement& BindBlob(int index, const void* data, size_t size)
    {
        // A null pointer would bind SQL NULL; an empty value is an empty blob.
        if (size == 0)
            Keep(sqlite3_bind_zeroblob(stmt_, index, 0));
        else
            Keep(sqlite3_bind_blob(stmt_, index, data, int(size), SQLITE_TRANSIENT));
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE or an error code (a failed prepare or bind
    // reports its own code here).
    int Step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }

    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const
    {
        auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text ? std::string(text, size_t(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    void Keep(int rc)
    {
        if (rc_ == SQLITE_OK && rc != SQLITE_OK)
            rc_ = rc;
    }

    sqlite3_stmt* stmt_ = nullptr;
    Cached* cached_ = nullptr;  // the store's entry this one borrows, if any
    int rc_;
};

// BEGIN IMMEDIATE for anything that writes: a deferred transaction that
// later writes can fail with SQLITE_BUSY_SNAPSHOT without waiting, while an
// immediate one waits in the busy handler for the write lock. Readers take
// a deferred transaction for one consistent snapshot. Rolls back unless
// committed.
class Store::Transaction {
public:
    Transaction(Store& store, bool write) : store_(store)
    {
        status_ = Run(write ? "BEGIN IMMEDIATE" : "BEGIN");
        open_ = status_ == StoreStatus::Ok;
    }
    ~Transaction()
    {
        if (open_)
            Statement(store_, "ROLLBACK").Step();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    StoreStatus Status() const { return status_; }
    StoreStatus Commit()
    {
        StoreStatus status = Run("COMMIT");
        if (status == StoreStatus::Ok)
            open_ = false;
        return status;
    }

private:
    StoreStatus Run(const char* sql)
    {
        int rc = Statement(store_, sql).Step();
        return rc == SQLITE_DONE ? StoreStatus::Ok : store_.Fail(sql);
    }

    Store& store_;
    StoreStatus status_;
    bool open_ = false;
};

StoreStatus Store::Fail(const char* what)
{
    int code = sqlite3_extended_errcode(db_);
    std::string cause = sqlite3_errmsg(db_);
    if ((code & 0xff) == SQLITE_NOTADB)
        cause = "not a registry database (" + cause + ")";
    else if ((code & 0xff) == SQLITE_CORRUPT)
        cause = "the registry database is corrupt (" + cause + ")";
    else if (int os = sqlite3_system_errno(db_); os != 0 && ((code & 0xff) == SQLITE_IOERR || (code & 0xff) == SQLITE_CANTOPEN))
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

// ------------------------------------------------------------- open, seed

Store::Store(sqlite3* db, std::string file) : db_(db), cache_(std::make_unique<ReadCache>()), file_(std::move(file)) {}

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
        int rc = sqlite3_open_v2(fresh.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE,
                                 nullptr);
        if (rc != SQLITE_OK) {
            status = OpenFailure(file, db, rc);
            sqlite3_close_v2(db);
            return status;
        }
        Store store(db, file);
        std::lock_guard guard(store.lock_);
        status = store.Build();
    }
    if (status == StoreStatus::Ok && renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
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
                      (empty ? std::string("the file is empty (0 bytes)")
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
        {"MACHINE"}, {"USER"}, {"MACHINE", "SYSTEM"}, {"MACHINE", "SOFTWARE"}, {"MACHINE", "HARDWARE"},
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

// ------------------------------------------------------------- key rows

StoreStatus Store::Begun(const Transaction& tx, KeyId key)
{
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    return Exists(key);
}

StoreStatus Store::Exists(KeyId key)
{
    Statement stmt(*this, "SELECT 1 FROM keys WHERE id=?1");
    stmt.Bind(1, key);
    switch (stmt.Step()) {
    case SQLITE_ROW: return StoreStatus::Ok;
    case SQLITE_DONE: return StoreStatus::KeyDeleted;
    default: return Fail("look a key up");
    }
}

StoreStatus Store::Child(KeyId parent, const std::string& folded, KeyId* child)
{
    Statement stmt(*this, "SELECT id FROM keys WHERE parent=?1 AND folded=?2");
    stmt.Bind(1, parent).Bind(2, folded);
    switch (stmt.Step()) {
    case SQLITE_ROW: *child = stmt.Int(0); return StoreStatus::Ok;
    case SQLITE_DONE: return StoreStatus::NotFound;
    default: return Fail("look a subkey up");
    }
}

namespace {
bool ValidKeyName(const std::string& name)
{
    return !name.empty() && name.find('\\') == std::string::npos && Utf16Length(name) <= kMaxKeyNameChars;
}
}  // namespace

StoreStatus Store::Resolve(KeyId base, const std::vector<std::string>& path, KeyId* key)
{
    for (const auto& component : path) {
        if (!ValidKeyName(component))
            return StoreStatus::NameInvalid;
    }
    if (StoreStatus s = Exists(base); s != StoreStatus::Ok)
        return s;
    KeyId at = base;
    for (const auto& component : path) {
        if (StoreStatus s = Child(at, FoldName(component), &at); s != StoreStatus::Ok)
            return s;
    }
    *key = at;
    return StoreStatus::Ok;
}

StoreStatus Store::InsertKey(KeyId parent, const std::string& name, const CreateOptions& options, int64_t now,
                             KeyId* key)
{
    Statement stmt(*this,
                   "INSERT INTO keys(parent, name, folded, class, volatile, last_write) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    stmt.Bind(1, parent).Bind(2, name).Bind(3, FoldName(name)).BindOptional(4, options.className);
    stmt.Bind(5, options.isVolatile ? 1 : 0).Bind(6, now);
    if (stmt.Step() != SQLITE_DONE)
        return Fail("create a key");
    *key = sqlite3_last_insert_rowid(db_);
    return StoreStatus::Ok;
}

StoreStatus Store::Touch(KeyId key, int64_t now)
{
    Statement stmt(*this, "UPDATE keys SET last_write=?1 WHERE id=?2");
    stmt.Bind(1, now).Bind(2, key);
    if (stmt.Step() != SQLITE_DONE)
        return Fail("update a key's write time");
    return StoreStatus::Ok;
}

StoreStatus Store::ReadKey(sqlite3_stmt* raw, KeyRecord* record)
{
    // Columns: id, name, class, volatile, last_write.
    record->id = sqlite3_column_int64(raw, 0);
    auto* name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
    record->name.assign(name ? name : "", size_t(sqlite3_column_bytes(raw, 1)));
    if (sqlite3_column_type(raw, 2) == SQLITE_NULL) {
        record->className.reset();
    } else {
        auto* cls = reinterpret_cast<const char*>(sqlite3_column_text(raw, 2));
        record->className.emplace(cls ? cls : "", size_t(sqlite3_column_bytes(raw, 2)));
    }
    record->isVolatile = sqlite3_column_int64(raw, 3) != 0;
    record->lastWriteTime = sqlite3_column_int64(raw, 4);
    return StoreStatus::Ok;
}

StoreStatus Store::ReadValue(sqlite3_stmt* raw, ValueRecord* value)
{
    // Columns: name, type, data.
    auto* name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    value->name.assign(name ? name : "", size_t(sqlite3_column_bytes(raw, 0)));
    value->type = uint32_t(sqlite3_column_int64(raw, 1));
    auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(raw, 2));
    value->data.assign(data, data + sqlite3_column_bytes(raw, 2));
    return StoreStatus::Ok;
}

// --------------------------------------------------------------- keys

StoreStatus Store::OpenKey(KeyId base, const std::vector<std::string>& path, KeyId* key)
{
    for (const auto& component : path) {
        if (!ValidKeyName(component))
            return StoreStatus::NameInvalid;
    }
    std::string folded;
    for (const auto& component : path)
        folded += FoldName(component) + '\\';
    std::lock_guard guard(lock_);
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    auto found = cache_->paths.find({base, folded});
    if (found == cache_->paths.end()) {
        KeyId resolved = 0;
        StoreStatus status;
        {
            Transaction tx(*this, false);
            status = tx.Status() != StoreStatus::Ok ? tx.Status() : Resolve(base, path, &resolved);
        }
        if (status != StoreStatus::Ok && status != StoreStatus::NotFound && status != StoreStatus::KeyDeleted)
            return status;
        found = cache_->paths.emplace(std::make_pair(base, std::move(folded)), ReadCache::Resolved{status, resolved}).first;
        ++cache_->rows;
    }
    if (found->second.status == StoreStatus::Ok)
        *key = found->second.key;
    return found->second.status;
}

StoreStatus Store::CreateKey(KeyId base, const std::vector<std::string>& path, const CreateOptions& options,
                             KeyId* key, bool* created)
{
    for (const auto& component : path) {
        if (!ValidKeyName(component))
            return StoreStatus::NameInvalid;
    }
    std::lock_guard guard(lock_);
    Transaction tx(*this, true);
    if (StoreStatus s = Begun(tx, base); s != StoreStatus::Ok)
        return s;
    KeyId at = base;
    bool made = false;
    int64_t now = NtTimeNow();
    for (size_t i = 0; i < path.size(); ++i) {
        KeyId child;
        StoreStatus status = Child(at, FoldName(path[i]), &child);
        if (status == StoreStatus::NotFound) {
            if (i + 1 < path.size() && !options.createIntermediates)
                return StoreStatus::NotFound;
            if (at == root_)
                return StoreStatus::AccessDenied;  // hives are fixed
            CreateOptions rowOptions = options;
            if (i + 1 < path.size())
                rowOptions.className.reset();  // the class is the final key's
            if ((status = InsertKey(at, path[i], rowOptions, now, &child)) != StoreStatus::Ok ||
                (status = Touch(at, now)) != StoreStatus::Ok)
                return status;
            made = i + 1 == path.size();
        } else if (status != StoreStatus::Ok) {
            return status;
        }
        at = child;
    }
    if (StoreStatus s = tx.Commit(); s != StoreStatus::Ok)
        return s;
    *key = at;
    *created = made;
    return StoreStatus::Ok;
}

StoreStatus Store::QueryKey(KeyId key, KeyRecord* record)
{
    std::lock_guard guard(lock_);
    const ReadCacheKey* row;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedKey(key, &row); s != StoreStatus::Ok)
        return s;
    *record = row->record;
    return StoreStatus::Ok;
}

StoreStatus Store::KeyPath(KeyId key, std::string* path)
{
    std::lock_guard guard(lock_);
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    // From the key up to the root (parent 0), or to where the chain breaks.
    std::vector<const std::string*> names;
    KeyId at = key;
    for (int depth = 0; at != 0 && depth <= kMaxDepth; ++depth) {
        const ReadCacheKey* row;
        StoreStatus s = CachedKey(at, &row);
        if (s == StoreStatus::KeyDeleted)
            break;
        if (s != StoreStatus::Ok)
            return s;
        names.push_back(&row->record.name);
        at = row->parent;
    }
    if (names.empty())
        return StoreStatus::KeyDeleted;
    std::string built;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        built += "\\" + **name;
    *path = std::move(built);
    return StoreStatus::Ok;
}

StoreStatus Store::QueryCounts(KeyId key, KeyCounts* counts)
{
    std::lock_guard guard(lock_);
    const std::vector<ReadCacheSubkey>* subkeys;
    const std::vector<ReadCacheValue>* values;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedSubkeys(key, &subkeys); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedValues(key, &values); s != StoreStatus::Ok)
        return s;
    KeyCounts found;
    for (const auto& subkey : *subkeys) {
        ++found.subKeys;
        found.maxNameChars = std::max<uint32_t>(found.maxNameChars, uint32_t(Utf16Length(subkey.record.name)));
        if (subkey.record.className)
            found.maxClassChars =
                std::max<uint32_t>(found.maxClassChars, uint32_t(Utf16Length(*subkey.record.className)));
    }
    for (const auto& value : *values) {
        ++found.values;
        found.maxValueNameChars = std::max<uint32_t>(found.maxValueNameChars, uint32_t(Utf16Length(value.value.name)));
        found.maxValueDataBytes = std::max<uint32_t>(found.maxValueDataBytes, uint32_t(value.value.data.size()));
    }
    *counts = found;
    return StoreStatus::Ok;
}

StoreStatus Store::EnumerateKey(KeyId key, uint32_t index, KeyRecord* record)
{
    std::lock_guard guard(lock_);
    const std::vector<ReadCacheSubkey>* subkeys;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedSubkeys(key, &subkeys); s != StoreStatus::Ok)
        return s;
    if (index >= subkeys->size())
        return StoreStatus::NoMoreEntries;
    *record = (*subkeys)[index].record;
    return StoreStatus::Ok;
}

StoreStatus Store::DataVersion(int64_t* version)
{
    Statement stmt(*this, "PRAGMA data_version");
    if (stmt.Step() != SQLITE_ROW)
        return Fail("read the data version");
    *version = stmt.Int(0);
    return StoreStatus::Ok;
}

StoreStatus Store::Fresh()
{
    const int64_t changes = sqlite3_total_changes64(db_);
    ReadRun& run = t_readRun;
    if (run.depth > 0 && run.store == this && run.epoch == cache_->epoch && changes == cache_->changes)
        return StoreStatus::Ok;
    int64_t version;
    if (StoreStatus s = DataVersion(&version); s != StoreStatus::Ok)
        return s;
    if (version != cache_->dataVersion || changes != cache_->changes || cache_->rows > ReadCache::kMaxRows) {
        cache_->Clear();
        cache_->dataVersion = version;
        cache_->changes = changes;
        cache_->epoch = ++g_cacheEpochs;
    }
    if (run.depth > 0) {
        run.store = this;
        run.epoch = cache_->epoch;
    }
    return StoreStatus::Ok;
}

void Store::BeginReadRun()
{
    ++t_readRun.depth;
}

void Store::EndReadRun()
{
    if (t_readRun.depth > 0 && --t_readRun.depth == 0)
        t_readRun = ReadRun{};
}

StoreStatus Store::CachedKey(KeyId key, const ReadCacheKey** row)
{
    auto found = cache_->keys.find(key);
    if (found == cache_->keys.end()) {
        ReadCacheKey loaded;
        Statement stmt(*this, "SELECT id, name, class, volatile, last_write, parent FROM keys WHERE id=?1");
        stmt.Bind(1, key);
        switch (stmt.Step()) {
        case SQLITE_ROW:
            ReadKey(stmt.get(), &loaded.record);
            loaded.parent = stmt.Int(5);
            loaded.status = StoreStatus::Ok;
            break;
        case SQLITE_DONE: loaded.status = StoreStatus::KeyDeleted; break;
        default: return Fail("query a key");
        }
        found = cache_->keys.emplace(key, std::move(loaded)).first;
        ++cache_->rows;
    }
    *row = &found->second;
    return found->second.status;
}

StoreStatus Store::CachedSubkeys(KeyId key, const std::vector<ReadCacheSubkey>** subkeys)
{
    auto found = cache_->subkeys.find(key);
    if (found == cache_->subkeys.end()) {
        // The key's row and its subkeys from one snapshot.
        Transaction tx(*this, false);
        const ReadCacheKey* row;
        if (tx.Status() != StoreStatus::Ok)
            return tx.Status();
        if (StoreStatus s = CachedKey(key, &row); s != StoreStatus::Ok)
            return s;
        std::vector<ReadCacheSubkey> loaded;
        Statement stmt(*this, "SELECT id, name, class, volatile, last_write, folded FROM keys WHERE parent=?1 ORDER BY folded");
        stmt.Bind(1, key);
        int rc;
        while ((rc = stmt.Step()) == SQLITE_ROW) {
            ReadCacheSubkey subkey;
            ReadKey(stmt.get(), &subkey.record);
            subkey.folded = stmt.Text(5);
            loaded.push_back(std::move(subkey));
        }
        if (rc != SQLITE_DONE)
            return Fail("list subkeys");
        cache_->rows += loaded.size() + 1;
        found = cache_->subkeys.emplace(key, std::move(loaded)).first;
    } else if (StoreStatus s = cache_->keys.at(key).status; s != StoreStatus::Ok) {
        return s;
    }
    *subkeys = &found->second;
    return StoreStatus::Ok;
}

StoreStatus Store::CachedValues(KeyId key, const std::vector<ReadCacheValue>** values)
{
    auto found = cache_->values.find(key);
    if (found == cache_->values.end()) {
        Transaction tx(*this, false);
        const ReadCacheKey* row;
        if (tx.Status() != StoreStatus::Ok)
            return tx.Status();
        if (StoreStatus s = CachedKey(key, &row); s != StoreStatus::Ok)
            return s;
        std::vector<ReadCacheValue> loaded;
        Statement stmt(*this, "SELECT name, type, data, folded FROM vals WHERE key=?1 ORDER BY id");
        stmt.Bind(1, key);
        int rc;
        while ((rc = stmt.Step()) == SQLITE_ROW) {
            ReadCacheValue value;
            ReadValue(stmt.get(), &value.value);
            value.folded = stmt.Text(3);
            loaded.push_back(std::move(value));
        }
        if (rc != SQLITE_DONE)
            return Fail("list values");
        cache_->rows += loaded.size() + 1;
        found = cache_->values.emplace(key, std::move(loaded)).first;
    } else if (StoreStatus s = cache_->keys.at(key).status; s != StoreStatus::Ok) {
        return s;
    }
    *values = &found->second;
    return StoreStatus::Ok;
}

StoreStatus Store::ListSubkeys(KeyId key, std::vector<std::string>* names)
{
    std::lock_guard guard(lock_);
    const std::vector<ReadCacheSubkey>* subkeys;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedSubkeys(key, &subkeys); s != StoreStatus::Ok)
        return s;
    std::vector<std::string> found;
    found.reserve(subkeys->size());
    for (const auto& subkey : *subkeys)
        found.push_back(subkey.record.name);
    *names = std::move(found);
    return StoreStatus::Ok;
}

StoreStatus Store::DeleteKey(KeyId key)
{
    std::lock_guard guard(lock_);
    Transaction tx(*this, true);
    if (tx.Status() != StoreStatus::Ok)
        return tx.Status();
    KeyId parent;
    {
        Statement stmt(*this, "SELECT parent FROM keys WHERE id=?1");
        stmt.Bind(1, key);
        switch (stmt.Step()) {
        case SQLITE_ROW: parent = stmt.Int(0); break;
        case SQLITE_DONE: return StoreStatus::KeyDeleted;
        default: return Fail("look a key up");
        }
    }
    for (KeyId fixed : protected_) {
        if (fixed == key)
            return StoreStatus::Protected;
    }
    {
        Statement stmt(*this, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
        stmt.Bind(1, key);
        switch (stmt.Step()) {
        case SQLITE_ROW: return StoreStatus::HasSubkeys;
        case SQLITE_DONE: break;
        default: return Fail("look for subkeys");
        }
    }
    {
        Statement stmt(*this, "DELETE FROM vals WHERE key=?1");
        stmt.Bind(1, key);
        if (stmt.Step() != SQLITE_DONE)
            return Fail("delete a key's values");
    }
    {
        Statement stmt(*this, "DELETE FROM keys WHERE id=?1");
        stmt.Bind(1, key);
        if (stmt.Step() != SQLITE_DONE)
            return Fail("delete a key");
    }
    if (StoreStatus s = Touch(parent, NtTimeNow()); s != StoreStatus::Ok)
        return s;
    return tx.Commit();
}

// ------------------------------------------------------------- values

StoreStatus Store::SetValue(KeyId key, std::string_view name, uint32_t type, const void* data, size_t size)
{
    if (Utf16Length(name) > kMaxValueNameChars || size > kMaxValueDataBytes)
        return StoreStatus::ParameterInvalid;
    std::lock_guard guard(lock_);
    const int64_t before = sqlite3_total_changes64(db_);
    Transaction tx(*this, true);
    if (StoreStatus s = Begun(tx, key); s != StoreStatus::Ok)
        return s;
    {
        // An existing value keeps its row, hence its place in the
        // enumeration order and the case of its name.
        Statement stmt(*this,
                       "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                       "ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data");
        stmt.Bind(1, key).Bind(2, name).Bind(3, FoldName(name)).Bind(4, int64_t(type)).BindBlob(5, data, size);
        if (stmt.Step() != SQLITE_DONE)
            return Fail("set a value");
    }
    if (StoreStatus s = Touch(key, NtTimeNow()); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = tx.Commit(); s != StoreStatus::Ok)
        return s;
    ForgetValueChange(before, key);
    return StoreStatus::Ok;
}

StoreStatus Store::QueryValue(KeyId key, std::string_view name, ValueRecord* value)
{
    const std::string folded = FoldName(name);
    std::lock_guard guard(lock_);
    const std::vector<ReadCacheValue>* values;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedValues(key, &values); s != StoreStatus::Ok)
        return s;
    for (const auto& candidate : *values) {
        if (candidate.folded == folded) {
            *value = candidate.value;
            return StoreStatus::Ok;
        }
    }
    return StoreStatus::NotFound;
}

StoreStatus Store::EnumerateValue(KeyId key, uint32_t index, ValueRecord* value)
{
    std::lock_guard guard(lock_);
    const std::vector<ReadCacheValue>* values;
    if (StoreStatus s = Fresh(); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = CachedValues(key, &values); s != StoreStatus::Ok)
        return s;
    if (index >= values->size())
        return StoreStatus::NoMoreEntries;
    *value = (*values)[index].value;
    return StoreStatus::Ok;
}

StoreStatus Store::DeleteValue(KeyId key, std::string_view name)
{
    std::lock_guard guard(lock_);
    const int64_t before = sqlite3_total_changes64(db_);
    Transaction tx(*this, true);
    if (StoreStatus s = Begun(tx, key); s != StoreStatus::Ok)
        return s;
    {
        Statement stmt(*this, "DELETE FROM vals WHERE key=?1 AND folded=?2");
        stmt.Bind(1, key).Bind(2, FoldName(name));
        if (stmt.Step() != SQLITE_DONE)
            return Fail("delete a value");
    }
    if (sqlite3_changes(db_) == 0)
        return StoreStatus::NotFound;
    if (StoreStatus s = Touch(key, NtTimeNow()); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = tx.Commit(); s != StoreStatus::Ok)
        return s;
    ForgetValueChange(before, key);
    return StoreStatus::Ok;
}

void Store::ForgetValueChange(int64_t before, KeyId key)
{
    // Only when the cache was current up to this write; otherwise the
    // next read empties it anyway.
    if (cache_->changes != before)
        return;
    // The key's values and its row (the write time) changed, and so did
    // its entry in its parent's subkeys.
    KeyId parent = 0;
    if (auto row = cache_->keys.find(key); row != cache_->keys.end() && row->second.status == StoreStatus::Ok) {
        parent = row->second.parent;
    } else {
        Statement stmt(*this, "SELECT parent FROM keys WHERE id=?1");
        stmt.Bind(1, key);
        if (stmt.Step() != SQLITE_ROW)
            return;  // gone already: leave it to the next read to empty the cache
        parent = stmt.Int(0);
    }
    cache_->keys.erase(key);
    cache_->values.erase(key);
    cache_->subkeys.erase(parent);
    cache_->changes = sqlite3_total_changes64(db_);
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
    static const char* const kDoomed =
        "WITH RECURSIVE doomed(id) AS ("
        " SELECT id FROM keys WHERE parent=?1 OR volatile<>0"
        " UNION SELECT k.id FROM keys k JOIN doomed d ON k.parent = d.id) ";
    for (const char* action : {"DELETE FROM vals WHERE key IN doomed OR key=?1", "DELETE FROM keys WHERE id IN doomed"}) {
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
