#pragma once

// Prepared statements of one SQLite connection, kept for reuse by their text.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace measurement {

class APMStatementCache;

// One statement in use: a kept one goes back to its cache (reset, its
// values unbound) when the lease ends, one prepared for this use alone is
// finalised. Movable, not copyable.
class APMStatementLease {
public:
    APMStatementLease() = default;
    APMStatementLease(sqlite3_stmt* statement, APMStatementCache* cache) : statement_(statement, GiveBack{cache}) {}

    sqlite3_stmt* get() const { return statement_.get(); }
    explicit operator bool() const { return statement_ != nullptr; }
    // Ends the use before the lease goes out of scope.
    void release() { statement_.reset(); }

private:
    struct GiveBack {
        APMStatementCache* cache;  // none: the statement is this use's alone
        void operator()(sqlite3_stmt* statement) const;
    };
    std::unique_ptr<sqlite3_stmt, GiveBack> statement_;
};

// Statements are kept by their exact text, up to a number of them; the one
// used longest ago makes room for a new one. A statement still in use when
// the same text is asked for again (a call inside another's loop) is not
// shared: the second use gets one of its own. Not thread-safe: the owning
// store calls it under its lock.
class APMStatementCache {
public:
    explicit APMStatementCache(std::size_t capacity = 96) : capacity_(capacity) {}
    ~APMStatementCache() { clear(); }
    APMStatementCache(const APMStatementCache&) = delete;
    APMStatementCache& operator=(const APMStatementCache&) = delete;

    // The kept statement of the text, when there is one not in use (marked
    // in use); otherwise null.
    sqlite3_stmt* take(const std::string& text);
    // Keeps a statement prepared for the text (in use until its lease ends);
    // false when it cannot be kept (its text is kept with another one in
    // use), and the caller owns it alone.
    bool keep(const std::string& text, sqlite3_stmt* statement);
    // Finalises every kept statement; one still in use is finalised when
    // its lease ends.
    void clear();
    std::size_t size() const { return entries_.size(); }

private:
    friend class APMStatementLease;
    void giveBack(sqlite3_stmt* statement);
    void evictOne();

    struct Entry {
        sqlite3_stmt* statement = nullptr;
        bool inUse = false;
        std::uint64_t lastUse = 0;
    };
    std::size_t capacity_;
    std::uint64_t clock_ = 0;
    std::unordered_map<std::string, Entry> entries_;
    // Statements kept by text whose entry is in use, to find on give-back.
    std::unordered_map<sqlite3_stmt*, std::string> texts_;
};

}  // namespace measurement
