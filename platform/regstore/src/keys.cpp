// Keys and values: finding, creating, enumerating and deleting keys, and
// setting, reading and deleting values, each in a transaction of its own.
#include "sqlite.h"

#include "read_cache.h"

#include <cstring>

namespace vlm::nt::cm {
namespace {

// Parent chains are acyclic by construction; this only bounds a damaged file.
constexpr int kMaxDepth = 512;

}  // namespace

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
    case SQLITE_ROW:
        return StoreStatus::Ok;
    case SQLITE_DONE:
        return StoreStatus::KeyDeleted;
    default:
        return Fail("look a key up");
    }
}

StoreStatus Store::Child(KeyId parent, const std::string& folded, KeyId* child)
{
    Statement stmt(*this, "SELECT id FROM keys WHERE parent=?1 AND folded=?2");
    stmt.Bind(1, parent).Bind(2, folded);
    switch (stmt.Step()) {
    case SQLITE_ROW:
        *child = stmt.Int(0);
        return StoreStatus::Ok;
    case SQLITE_DONE:
        return StoreStatus::NotFound;
    default:
        return Fail("look a subkey up");
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

StoreStatus Store::InsertKey(
        KeyId parent, const std::string& name, const CreateOptions& options, int64_t now, KeyId* key)
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
        found = cache_->paths.emplace(std::make_pair(base, std::move(folded)), ReadCache::Resolved{status, resolved})
                        .first;
        ++cache_->rows;
    }
    if (found->second.status == StoreStatus::Ok)
        *key = found->second.key;
    return found->second.status;
}

StoreStatus Store::CreateKey(
        KeyId base, const std::vector<std::string>& path, const CreateOptions& options, KeyId* key, bool* created)
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
        case SQLITE_ROW:
            parent = stmt.Int(0);
            break;
        case SQLITE_DONE:
            return StoreStatus::KeyDeleted;
        default:
            return Fail("look a key up");
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
        case SQLITE_ROW:
            return StoreStatus::HasSubkeys;
        case SQLITE_DONE:
            break;
        default:
            return Fail("look for subkeys");
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

}  // namespace vlm::nt::cm
