// What the store's read calls found, kept while the database stays as it
// was: one look at SQLite's data version (which moves when any other
// connection commits) and at this connection's own change count tells
// whether everything here still holds, so a run of reads costs one read
// transaction instead of one each. A key's subkeys and values are loaded
// whole on first use (one query for the lot), because the callers that
// read many of them walk them all: the driver's lookup enumerates every
// assignment on every open.
//
// Only answers that describe the database are kept (found, not found,
// deleted); failures are not. The Store guards it with its own lock.
#pragma once

#include "vlm/regstore/store.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlm::nt::cm {

struct ReadCacheKey {
    StoreStatus status = StoreStatus::KeyDeleted;  // Ok or KeyDeleted
    KeyRecord record;
    KeyId parent = 0;
};

struct ReadCacheSubkey {
    KeyRecord record;
    std::string folded;
};

struct ReadCacheValue {
    ValueRecord value;
    std::string folded;
};

struct ReadCache {
    // Emptied when it holds more than this many rows: a bound, not a tuning.
    static constexpr size_t kMaxRows = 200000;

    int64_t dataVersion = -1;  // PRAGMA data_version when it was last emptied
    int64_t changes = -1;      // sqlite3_total_changes64 then
    uint64_t epoch = 0;        // a new number each time it is emptied (process-wide unique)
    size_t rows = 0;

    struct Resolved {
        StoreStatus status;  // Ok, NotFound or KeyDeleted
        KeyId key;
    };

    std::unordered_map<KeyId, ReadCacheKey> keys;
    std::unordered_map<KeyId, std::vector<ReadCacheSubkey>> subkeys;  // enumeration order (folded name)
    std::unordered_map<KeyId, std::vector<ReadCacheValue>> values;    // enumeration order (creation)
    std::map<std::pair<KeyId, std::string>, Resolved> paths;          // base, folded components joined by '\'

    void Clear()
    {
        keys.clear();
        subkeys.clear();
        values.clear();
        paths.clear();
        rows = 0;
    }
};

}  // namespace vlm::nt::cm
