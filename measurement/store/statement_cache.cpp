// Prepared statements kept for reuse by their text.
#include "measurement/store/statement_cache.h"

#include <sqlite3.h>


namespace measurement {

void APMStatementLease::GiveBack::operator()(sqlite3_stmt* statement) const {
    if (cache) {
        cache->giveBack(statement);
    } else {
        sqlite3_finalize(statement);
    }
}

sqlite3_stmt* APMStatementCache::take(const std::string& text) {
    auto found = entries_.find(text);
    if (found == entries_.end() || found->second.inUse) return nullptr;
    found->second.inUse = true;
    found->second.lastUse = ++clock_;
    return found->second.statement;
}

bool APMStatementCache::keep(const std::string& text, sqlite3_stmt* statement) {
    if (capacity_ == 0 || entries_.count(text)) return false;
    if (entries_.size() >= capacity_) evictOne();
    if (entries_.size() >= capacity_) return false;
    entries_.emplace(text, Entry{statement, true, ++clock_});
    texts_.emplace(statement, text);
    return true;
}

// The statement goes back reset, so that it holds no read of the file
// open, and with its values unbound, so that it keeps no copy of them.
void APMStatementCache::giveBack(sqlite3_stmt* statement) {
    auto text = texts_.find(statement);
    auto entry = text == texts_.end() ? entries_.end() : entries_.find(text->second);
    if (entry == entries_.end() || entry->second.statement != statement) {
        if (text != texts_.end()) texts_.erase(text);
        sqlite3_finalize(statement);
        return;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    entry->second.inUse = false;
}

void APMStatementCache::evictOne() {
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!it->second.inUse && (oldest == entries_.end() || it->second.lastUse < oldest->second.lastUse)) oldest = it;
    }
    if (oldest == entries_.end()) return;
    texts_.erase(oldest->second.statement);
    sqlite3_finalize(oldest->second.statement);
    entries_.erase(oldest);
}

void APMStatementCache::clear() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.inUse) {
            // Finalised by its lease: its text no longer finds an entry.
            ++it;
            continue;
        }
        texts_.erase(it->second.statement);
        sqlite3_finalize(it->second.statement);
        it = entries_.erase(it);
    }
    entries_.clear();
}

}  // namespace measurement
