// What the measurement database remembers of its own rows between writes.
#include "measurement/store/database.h"

#include <atomic>

namespace measurement {

namespace {

// Versions of the user properties are drawn from one sequence, so that no
// two databases ever show the same.
std::uint64_t nextUserAttributesVersion() {
    static std::atomic<std::uint64_t> versions{0};
    return ++versions;
}

}  // namespace

void APMDatabase::TableFacts::noteInsert(double time, bool realtime) {
    // The newest time of an empty table is 0: a row makes it the row's own.
    if (empty == true) {
        latestTime = time;
    } else if (latestTime && time >= *latestTime) {
        latestTime = time;
    } else if (empty != false) {
        latestTime.reset();  // an older row into a table that may be empty
    }
    empty = false;
    if (realtime) holdsRealtime = true;
}

void APMDatabase::forgetIfUndone() {
    const auto undone = store_->undoCount();
    if (undone == factsUndoCount_) return;
    factsUndoCount_ = undone;
    rawEventFacts_ = {};
    bundleFacts_ = {};
    conditionalPropertyFacts_ = {};
    absentUserAttributes_.clear();
    userAttributesVersion_ = nextUserAttributesVersion();
}

// A read that fails is not remembered; one that raced an undo is used but
// not kept.
template <typename T>
std::optional<T> APMDatabase::remembered(TableFacts& facts, std::optional<T> TableFacts::*fact,
                                         const std::function<std::optional<T>()>& read) {
    std::uint64_t undoneBefore = 0;
    store_->noticeOtherConnections();
    {
        std::lock_guard lock(factsMutex_);
        forgetIfUndone();
        if (const auto& known = facts.*fact) return known;
        undoneBefore = factsUndoCount_;
    }
    auto answer = read();
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    if (answer && factsUndoCount_ == undoneBefore) facts.*fact = answer;
    return answer;
}

template std::optional<bool> APMDatabase::remembered(TableFacts&, std::optional<bool> TableFacts::*,
                                                     const std::function<std::optional<bool>()>&);
template std::optional<double> APMDatabase::remembered(TableFacts&, std::optional<double> TableFacts::*,
                                                       const std::function<std::optional<double>()>&);

void APMDatabase::noteRawEventInserted(double time, bool realtime) {
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    rawEventFacts_.noteInsert(time, realtime);
}

void APMDatabase::noteRowStored(TableFacts& facts) {
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    facts.empty = false;
}

void APMDatabase::forget(TableFacts& facts) {
    std::lock_guard lock(factsMutex_);
    facts = {};
}

bool APMDatabase::isUserAttributeKnownAbsent(const std::string& name) {
    store_->noticeOtherConnections();
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    return absentUserAttributes_.count(name) > 0;
}

void APMDatabase::noteUserAttributeWritten(const std::string& name, bool deleted, std::uint64_t undoCountBefore) {
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    userAttributesVersion_ = nextUserAttributesVersion();
    if (deleted && factsUndoCount_ == undoCountBefore) {
        absentUserAttributes_.insert(name);
    } else {
        absentUserAttributes_.erase(name);
    }
}

std::uint64_t APMDatabase::userAttributesVersion() {
    store_->noticeOtherConnections();
    std::lock_guard lock(factsMutex_);
    forgetIfUndone();
    if (userAttributesVersion_ == 0) userAttributesVersion_ = nextUserAttributesVersion();
    return userAttributesVersion_;
}

}  // namespace measurement
