#include "velmora/screens/calc_manager.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/foundation/defaults_key.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/screens/shell_hooks.h"

namespace velmora {

using platform::Value;

namespace {

const platform::DefaultsKey<std::optional<platform::Date>>& firstAppStart() {
    static const platform::DefaultsKey<std::optional<platform::Date>> key(CalcManager::firstAppStartAtKey);
    return key;
}

// The last part of a failure to write preferences ("cannot save
// preferences: cannot write FILE: No space left on device"): what a person
// can act on, without the file's path.
std::string failureReason(const std::string& diagnostic) {
    const auto colon = diagnostic.rfind(": ");
    return colon == std::string::npos ? diagnostic : diagnostic.substr(colon + 2);
}

}  // namespace

namespace {

std::unique_ptr<CalcManager>& sharedSlot() {
    static auto* slot = new std::unique_ptr<CalcManager>();  // lives as long as the process
    return *slot;
}

}  // namespace

CalcManager& CalcManager::shared() {
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_unique<CalcManager>();
    return *slot;
}

void CalcManager::resetShared() { sharedSlot().reset(); }

CalcManager::CalcManager(platform::UserDefaults userDefaults) : userDefaults_(std::move(userDefaults)) {
    if (!storesEntries()) calculations_ = loadCalculations();
    // Loaded straight into the fields: loading writes nothing back.
    currentCalculation_ = loadCalculation(currentCalculationKey);
    currentSelectedCalculation_ = loadCalculation(currentSelectedCalculationKey);
}

void CalcManager::setCurrentCalculation(std::optional<Calculation> calculation) {
    currentCalculation_ = std::move(calculation);
    saveCurrentCalculation();
}

void CalcManager::setCurrentSelectedCalculation(std::optional<Calculation> calculation) {
    currentSelectedCalculation_ = std::move(calculation);
    saveCurrentSelectedCalculation();
}

std::vector<Calculation> CalcManager::loadCalculations() {
    auto loaded = readCalculations();
    if (loaded.empty()) {
        // Only the form of an empty history: nothing a person made is at
        // stake, so a failure here is not announced.
        calculations_.clear();
        historyRead_ = true;
        saveCalculations([](std::vector<Calculation>&) {}, false);
    }
    return loaded;
}

std::vector<Calculation> CalcManager::readCalculations() const {
    std::vector<Calculation> loaded;
    // Read where the preferences keep it: a long history is not copied first.
    userDefaults_.readObject(calculationsKey, [&](const Value& stored) {
        if (!stored.isArray()) return;
        // Room for the entry a calculation adds, without a second copy.
        loaded.reserve(stored.asArray().size() + 1);
        for (const auto& item : stored.asArray()) {
            // Something that is no dictionary cannot be an entry; the entries
            // around it are kept.
            if (item.isDictionary()) loaded.emplace_back(item.asDictionary());
        }
    });
    return loaded;
}

bool CalcManager::storesEntries() const {
    bool found = false;
    userDefaults_.readObject(calculationsKey, [&](const Value& stored) {
        if (!stored.isArray()) return;
        const auto& items = stored.asArray();
        found = std::any_of(items.begin(), items.end(), [](const Value& item) { return item.isDictionary(); });
    });
    return found;
}

std::vector<Calculation>& CalcManager::history() const {
    if (!historyRead_) {
        calculations_ = readCalculations();
        historyRead_ = true;
    }
    return calculations_;
}

std::optional<Calculation> CalcManager::loadCalculation(const std::string& key) const {
    auto stored = userDefaults_.dictionaryForKey(key);
    if (!stored) return std::nullopt;
    return Calculation(*stored);
}

namespace {

// Takes the entry out at `from` and puts it back at `to`.
void moveEntry(std::vector<Calculation>& calculations, std::ptrdiff_t from, std::ptrdiff_t to) {
    Calculation moved = std::move(calculations[static_cast<std::size_t>(from)]);
    calculations.erase(calculations.begin() + from);
    calculations.insert(calculations.begin() + to, std::move(moved));
}

}  // namespace

// Each change keeps only what undoes it, not a copy of the whole history.
bool CalcManager::addCalculation(const Calculation& calculation) {
    auto& entries = history();
    entries.insert(entries.begin(), calculation);
    return saveCalculations([](std::vector<Calculation>& c) { c.erase(c.begin()); });
}

bool CalcManager::deleteCalculation(std::ptrdiff_t index) {
    if (!isValidIndex(index)) return false;  // reads the history
    Calculation removed = std::move(calculations_[static_cast<std::size_t>(index)]);
    calculations_.erase(calculations_.begin() + index);
    return saveCalculations(
        [index, removed = std::move(removed)](std::vector<Calculation>& c) { c.insert(c.begin() + index, removed); },
        true, true);
}

bool CalcManager::moveCalculation(std::ptrdiff_t from, std::ptrdiff_t to) {
    if (!isValidIndex(from) || !isValidIndex(to)) return false;
    if (from == to) return true;
    moveEntry(calculations_, from, to);
    return saveCalculations([from, to](std::vector<Calculation>& c) { moveEntry(c, to, from); }, true, true);
}

bool CalcManager::removeAllCalculations() {
    auto previous = std::move(history());
    calculations_.clear();
    // The key holds an empty list, not nothing.
    return saveCalculations([previous = std::move(previous)](std::vector<Calculation>& c) { c = previous; }, true,
                            true);
}

void CalcManager::saveCurrentSelectedCalculation() {
    saveOptional(currentSelectedCalculationKey, currentSelectedCalculation_);
}

void CalcManager::saveCurrentCalculation() { saveOptional(currentCalculationKey, currentCalculation_); }

Value::Array CalcManager::calculationsAsDictionaries() const {
    Value::Array list;
    const auto& entries = history();
    list.reserve(entries.size());
    for (const auto& calculation : entries) list.emplace_back(calculation.dictionary());
    return list;
}

void CalcManager::handleFirstStart() {
    if (firstAppStart().hasValue(userDefaults_)) return;
    firstAppStart().set(platform::Date{platform::dispatch::currentClock()->now()}, userDefaults_);
    addExampleCalculation();
}

void CalcManager::addExampleCalculation() {
    removeAllCalculations();
    addCalculation(Calculation(LocalizedString::exampleInputParameters(), "p = 0.3 \\quad k = 2 \\quad n = 5", {},
                               LocalizedString::exampleSetupParameters()));
}

bool CalcManager::saveCalculations(Undo undo, bool announceFailure, bool waitForWrite) {
    unwritten_.push_back(std::move(undo));
    announceUnwritten_ = announceUnwritten_ || announceFailure;
    if (!storeCalculations()) return finishSave(false);
    if (waitForWrite) return finishSave(userDefaults_.synchronize());
    // One answer covers every change made before it comes.
    if (unwritten_.size() == 1) {
        userDefaults_.whenWritten([this, alive = std::weak_ptr<bool>(alive_)](bool written) {
            if (alive.lock()) finishSave(written);
        });
    }
    return true;
}

bool CalcManager::storeCalculations() {
    // Read first: the list is made under the preferences' lock, where
    // reading them would wait for ever.
    history();
    return userDefaults_.replaceObject(calculationsKey, [this] { return Value(calculationsAsDictionaries()); });
}

bool CalcManager::finishSave(bool written) {
    auto undos = std::exchange(unwritten_, {});
    const bool announce = std::exchange(announceUnwritten_, false);
    if (written) return true;
    const auto diagnostics = userDefaults_.diagnostics();
    // The preferences keep a change they could not write and would store it
    // with the next one that succeeds: the history goes back to what the
    // file holds, in memory on both sides.
    for (auto each = undos.rbegin(); each != undos.rend(); ++each) (*each)(history());
    storeCalculations();
    if (announce) {
        showToast(LocalizedString::localized("The history could not be saved") +
                  (diagnostics.empty() ? "" : ": " + failureReason(diagnostics.back())));
    }
    return false;
}

bool CalcManager::isValidIndex(std::ptrdiff_t index) const {
    return index >= 0 && static_cast<std::size_t>(index) < history().size();
}

void CalcManager::saveOptional(const char* key, const std::optional<Calculation>& calculation) {
    if (calculation) {
        userDefaults_.setObject(calculation->dictionary(), key);
    } else {
        userDefaults_.removeObjectForKey(key);
    }
}

}  // namespace velmora
