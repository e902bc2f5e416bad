// The store's SQLite plumbing, shared by its files: cached prepared
// statements, transactions, and the calling thread's last error.
#pragma once

#include "vlm/regstore/store.h"

#include <sqlite3.h>

#include <string>

namespace vlm::nt::cm {

// What the last failing call of this thread said (Store::LastError).
extern thread_local std::string t_lastError;

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
        rc_ = sqlite3_prepare_v3(
                store.db_, sql, -1, cached.stmt || cached.busy ? 0 : SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
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

}  // namespace vlm::nt::cm
