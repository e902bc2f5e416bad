// The registry's persistent store: one SQLite 3 database per system root
// (<systemRoot>/registry.db), shared by the kernel (Zw*, Rtl*Registry*) and
// by user processes (the Reg* side), each process with its own connection.
//
// Schema (user_version 1):
//
//   keys(id     INTEGER PRIMARY KEY AUTOINCREMENT,  -- never reused, so a
//                                                   -- stale id means "deleted"
//        parent INTEGER NOT NULL,   -- keys.id; 0 only for the root, REGISTRY
//        name   TEXT NOT NULL,      -- UTF-8, the case it was created with
//        folded TEXT NOT NULL,      -- name case-folded (FoldName below)
//        class  TEXT,               -- the class given at creation, or NULL
//        volatile INTEGER NOT NULL, -- 1: dropped, with its subtree, at boot
//        last_write INTEGER NOT NULL, -- 100 ns units since 1601-01-01 UTC
//        UNIQUE(parent, folded))
//
//   vals(id     INTEGER PRIMARY KEY AUTOINCREMENT,  -- creation order
//        key    INTEGER NOT NULL,   -- keys.id
//        name   TEXT NOT NULL,      -- UTF-8; '' is the key's default value
//        folded TEXT NOT NULL,
//        type   INTEGER NOT NULL,   -- REG_* code
//        data   BLOB NOT NULL,      -- exactly the bytes given (REG_DWORD: 4, LE)
//        UNIQUE(key, folded))
//
// Every text column uses SQLite's BINARY collation; case-insensitivity
// lives entirely in the folded columns. Folding upper-cases ASCII a-z and
// the Latin-1 letters U+00E0..U+00FE except U+00F7, as the object manager
// folds names; every other character compares exactly. Subkeys enumerate
// by folded name in code-point order (the order Windows gives for names in
// the Basic Multilingual Plane), values by id.
//
// Concurrency: the database runs in WAL mode with a busy time-out, so
// readers never block and writers queue instead of failing. Every change
// that touches more than one row runs in one BEGIN IMMEDIATE transaction.
// Within a process one mutex serialises use of the connection. No row
// references are enforced by SQLite; the store deletes children itself.
//
// Reads are answered from a cache (read_cache.h) that every read call
// first checks against the data version, in a read transaction of its
// own: a change committed by any process before the call began is seen by
// it. Inside a read run (BeginReadRun) a thread checks only on its first
// read, and again after any change of this connection's own; its reads
// then see the registry as of that first read or later, never older, as
// if the run were one read transaction.
//
// The store knows nothing of NT: names are UTF-8, results are StoreStatus,
// so the user side can link it without the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vlm::nt::cm {

struct ReadCache;
struct ReadCacheKey;
struct ReadCacheSubkey;
struct ReadCacheValue;

using KeyId = int64_t;

// Limits, in UTF-16 code units as Windows counts them.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;
inline constexpr size_t kMaxValueDataBytes = 1024 * 1024;

enum class StoreStatus {
    Ok,
    NotFound,          // a key on the path, or the value, does not exist
    KeyDeleted,        // the key an id names has been deleted
    HasSubkeys,        // delete refused: the key has subkeys
    Protected,         // delete refused: a hive root (REGISTRY, MACHINE, USER, ...)
    AccessDenied,      // no new keys directly under REGISTRY; or the file is read-only
    NameInvalid,       // empty or over-long key name component, or one holding '\'
    ParameterInvalid,  // over-long value name, data over kMaxValueDataBytes
    NoMoreEntries,     // enumeration index past the end
    IoError,           // SQLite failed; LastError() says how
};
const char* StoreStatusName(StoreStatus status);

struct KeyRecord {
    KeyId id = 0;
    std::string name;
    std::optional<std::string> className;
    bool isVolatile = false;
    int64_t lastWriteTime = 0;  // 100 ns since 1601
};

// What KEY_FULL_INFORMATION reports; lengths in UTF-16 code units or bytes.
struct KeyCounts {
    uint32_t subKeys = 0;
    uint32_t maxNameChars = 0;   // longest subkey name
    uint32_t maxClassChars = 0;  // longest subkey class
    uint32_t values = 0;
    uint32_t maxValueNameChars = 0;  // longest value name
    uint32_t maxValueDataBytes = 0;  // largest value data
};

struct ValueRecord {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct CreateOptions {
    std::optional<std::string> className;  // stored only when the key is new
    bool isVolatile = false;
    // false: only the last component may be new (ZwCreateKey); true: every
    // missing component is created (RegCreateKeyEx).
    bool createIntermediates = false;
};

// Case fold of a UTF-8 name (see the schema note above).
std::string FoldName(std::string_view utf8);
// Length of a UTF-8 string in UTF-16 code units.
size_t Utf16Length(std::string_view utf8);
// Current time in NT units (100 ns since 1601-01-01 UTC).
int64_t NtTimeNow();

class Store {
public:
    // Opens the database file, switches it to WAL, and makes sure the fixed
    // keys exist: \REGISTRY with MACHINE (SYSTEM, SOFTWARE,
    // HARDWARE\DEVICEMAP, the RTL_REGISTRY_* bases) and USER\.DEFAULT. A
    // missing file is made whole under another name and then renamed into
    // place, so a file that exists but is empty or lacks the schema is not
    // ours: it is refused (IoError), never re-seeded. The directory must
    // exist. Every failure's LastError() names the file and the cause.
    //
    // readOnly is for callers without write access to the file (ordinary
    // users): the database must already have been set up, and every change
    // fails with AccessDenied. The WAL and shared-memory files are kept when
    // the last writer closes, so such readers can attach at any time.
    static StoreStatus Open(const std::string& file, std::unique_ptr<Store>* store, bool readOnly = false);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    KeyId Root() const { return root_; }

    // Resolves path (components, none empty) below base; an empty path
    // names base itself.
    StoreStatus OpenKey(KeyId base, const std::vector<std::string>& path, KeyId* key);
    StoreStatus CreateKey(
            KeyId base, const std::vector<std::string>& path, const CreateOptions& options, KeyId* key, bool* created);
    StoreStatus QueryKey(KeyId key, KeyRecord* record);
    // \REGISTRY\MACHINE\..., each component in its stored case.
    StoreStatus KeyPath(KeyId key, std::string* path);
    StoreStatus QueryCounts(KeyId key, KeyCounts* counts);
    // Subkey number index in enumeration order.
    StoreStatus EnumerateKey(KeyId key, uint32_t index, KeyRecord* record);
    StoreStatus ListSubkeys(KeyId key, std::vector<std::string>* names);
    StoreStatus DeleteKey(KeyId key);

    StoreStatus SetValue(KeyId key, std::string_view name, uint32_t type, const void* data, size_t size);
    StoreStatus QueryValue(KeyId key, std::string_view name, ValueRecord* value);
    StoreStatus EnumerateValue(KeyId key, uint32_t index, ValueRecord* value);
    StoreStatus DeleteValue(KeyId key, std::string_view name);

    // Makes every committed change durable (checkpoints the WAL, which
    // syncs it first).
    StoreStatus Flush();

    // Boot-time clean-up: empties HARDWARE (keeping the key) and drops every
    // volatile key with its subtree, then re-creates HARDWARE\DEVICEMAP.
    StoreStatus ResetVolatile();

    // The SQLite message behind the calling thread's last IoError.
    static const std::string& LastError();

    // A read run on the calling thread (see the concurrency note): runs
    // nest, and the outermost end closes it. For the kernel's requests.
    static void BeginReadRun();
    static void EndReadRun();

private:
    class Statement;
    class Transaction;

    Store(sqlite3* db, std::string file);
    // Makes a new registry database at `file`, schema and fixed keys.
    static StoreStatus Create(const std::string& file);
    StoreStatus Build();
    // Ok when the database is a registry of this build; otherwise IoError
    // with LastError() naming the file and what is wrong with it.
    StoreStatus CheckOurs();
    StoreStatus Initialize(bool readOnly);
    StoreStatus Fail(const char* what);
    StoreStatus Exec(const char* sql);
    StoreStatus Exists(KeyId key);  // Ok or KeyDeleted
    // The transaction began and the key is still there: what every call
    // on an existing key checks first.
    StoreStatus Begun(const Transaction& tx, KeyId key);
    StoreStatus Child(KeyId parent, const std::string& folded, KeyId* child);
    StoreStatus Resolve(KeyId base, const std::vector<std::string>& path, KeyId* key);
    StoreStatus InsertKey(KeyId parent, const std::string& name, const CreateOptions& options, int64_t now, KeyId* key);
    StoreStatus Touch(KeyId key, int64_t now);
    StoreStatus Seed(bool create);
    StoreStatus EnsurePath(const std::vector<const char*>& path, KeyId* key, bool create = true);
    StoreStatus ReadKey(sqlite3_stmt* stmt, KeyRecord* record);
    StoreStatus ReadValue(sqlite3_stmt* stmt, ValueRecord* value);

    // A statement prepared once and kept: parsing SQL cost more than running
    // it (a key enumeration of a few hundred subkeys spent nine tenths of its
    // time in the parser). `busy` while a Statement holds it, so a nested use
    // of the same text gets a statement of its own.
    struct Cached {
        sqlite3_stmt* stmt = nullptr;
        bool busy = false;
    };

    std::mutex lock_;  // serialises every use of db_ and the cached statements
    sqlite3* db_;
    std::unordered_map<std::string, Cached> statements_;  // by SQL text; guarded by lock_

    std::unique_ptr<ReadCache> cache_;  // guarded by lock_
    StoreStatus DataVersion(int64_t* version);
    // Makes the cache fit for a read: skipped inside a read run that has
    // already looked, else one look at the data version (emptying the
    // cache when it moved). The caller holds lock_.
    StoreStatus Fresh();
    // The cached key row, subkeys or values of a key, read on a miss.
    StoreStatus CachedKey(KeyId key, const ReadCacheKey** row);
    StoreStatus CachedSubkeys(KeyId key, const std::vector<ReadCacheSubkey>** subkeys);
    StoreStatus CachedValues(KeyId key, const std::vector<ReadCacheValue>** values);
    // What the two above share: `lists`' entry for `key`, loaded on a miss
    // with `sql` (bound to the key), each row read by `read`, in one
    // snapshot with the key's own row.
    template <typename Row, typename ReadRow>
    StoreStatus CachedList(std::unordered_map<KeyId, std::vector<Row>>& lists, KeyId key, const char* sql,
            const char* what, ReadRow read, const std::vector<Row>** list);
    // After this connection changed a value of `key` (the change count was
    // `before`): forgets what that change made stale and keeps the rest.
    // Key creation and deletion empty the whole cache (at the next read).
    void ForgetValueChange(int64_t before, KeyId key);
    const std::string file_;  // for messages
    KeyId root_ = 0;
    std::vector<KeyId> protected_;  // hive roots, fixed once seeded
};

}  // namespace vlm::nt::cm
