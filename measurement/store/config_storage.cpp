// Configuration storage transactions and their completion hooks.
#include "measurement/store/config_storage.h"

#include <utility>

namespace measurement {

APMMeasurementConfigStorage::~APMMeasurementConfigStorage() = default;

bool APMMeasurementConfigStorage::performTransaction(const std::function<bool()>& block) {
    levels_.emplace_back();
    bool committed = false;
    try {
        committed = performDatabaseTransaction(block);
    } catch (...) {
        endLevel(false);
        throw;
    }
    endLevel(committed);
    return committed;
}

bool APMMeasurementConfigStorage::whenTransactionEnds(std::function<void(bool committed)> completion) {
    if (levels_.empty() || !completion) return false;
    levels_.back().push_back(std::move(completion));
    return true;
}

void APMMeasurementConfigStorage::endLevel(bool committed) {
    Completions ended = std::move(levels_.back());
    levels_.pop_back();
    // A committed savepoint is final only when everything around it commits.
    if (committed && !levels_.empty()) {
        for (auto& completion : ended) levels_.back().push_back(std::move(completion));
        return;
    }
    for (auto& completion : ended) completion(committed);
}

}  // namespace measurement
