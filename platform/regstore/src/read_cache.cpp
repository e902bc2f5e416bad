// The store's side of the read cache (read_cache.h): checking it against
// the data version, the calling thread's read run, and loading a key's
// row, subkeys and values into it.
#include "sqlite.h"

#include "read_cache.h"

#include <atomic>

namespace vlm::nt::cm {
namespace {

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
        case SQLITE_DONE:
            loaded.status = StoreStatus::KeyDeleted;
            break;
        default:
            return Fail("query a key");
        }
        found = cache_->keys.emplace(key, std::move(loaded)).first;
        ++cache_->rows;
    }
    *row = &found->second;
    return found->second.status;
}

template <typename Row, typename ReadRow>
StoreStatus Store::CachedList(std::unordered_map<KeyId, std::vector<Row>>& lists, KeyId key, const char* sql,
        const char* what, ReadRow read, const std::vector<Row>** list)
{
    auto found = lists.find(key);
    if (found == lists.end()) {
        // The key's row and its list from one snapshot.
        Transaction tx(*this, false);
        const ReadCacheKey* row;
        if (tx.Status() != StoreStatus::Ok)
            return tx.Status();
        if (StoreStatus s = CachedKey(key, &row); s != StoreStatus::Ok)
            return s;
        std::vector<Row> loaded;
        Statement stmt(*this, sql);
        stmt.Bind(1, key);
        int rc;
        while ((rc = stmt.Step()) == SQLITE_ROW) {
            Row entry;
            read(stmt, &entry);
            loaded.push_back(std::move(entry));
        }
        if (rc != SQLITE_DONE)
            return Fail(what);
        cache_->rows += loaded.size() + 1;
        found = lists.emplace(key, std::move(loaded)).first;
    } else if (StoreStatus s = cache_->keys.at(key).status; s != StoreStatus::Ok) {
        return s;
    }
    *list = &found->second;
    return StoreStatus::Ok;
}

StoreStatus Store::CachedSubkeys(KeyId key, const std::vector<ReadCacheSubkey>** subkeys)
{
    return CachedList(
            cache_->subkeys, key,
            "SELECT id, name, class, volatile, last_write, folded FROM keys WHERE parent=?1 ORDER BY folded",
            "list subkeys",
            [this](Statement& stmt, ReadCacheSubkey* subkey) {
                ReadKey(stmt.get(), &subkey->record);
                subkey->folded = stmt.Text(5);
            },
            subkeys);
}

StoreStatus Store::CachedValues(KeyId key, const std::vector<ReadCacheValue>** values)
{
    return CachedList(
            cache_->values, key, "SELECT name, type, data, folded FROM vals WHERE key=?1 ORDER BY id", "list values",
            [this](Statement& stmt, ReadCacheValue* value) {
                ReadValue(stmt.get(), &value->value);
                value->folded = stmt.Text(3);
            },
            values);
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

}  // namespace vlm::nt::cm
