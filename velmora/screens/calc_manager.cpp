#include "velmora/screens/calc_manager.h"

#include <memory>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/foundation/defaults_key.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/screens/shell_hooks.h"

namespace velmora {

using platform::Value;

namespace {

const platform::DefaultsKey<Value::Array>& storedCalculations() {
    static const platform::DefaultsKey<Value::Array> key(CalcManager::calculationsKey);
    return key;
}

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
    calculations_ = loadCalculations();
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
    std::vector<Calculation> loaded;
    for (const auto& item : storedCalculations().get(userDefaults_)) {
        // Something that is no dictionary cannot be an entry; the entries
        // around it are kept.
        if (item.isDictionary()) loaded.emplace_back(item.asDictionary());
    }
    if (loaded.empty()) {
        // Only the form of an empty history: nothing a person made is at
        // stake, so a failure here is not announced.
        calculations_.clear();
        saveCalculations({}, false);
    }
    return loaded;
}

std::optional<Calculation> CalcManager::loadCalculation(const std::string& key) const {
    auto stored = userDefaults_.dictionaryForKey(key);
    if (!stored) return std::nullopt;
    return Calculation(*stored);
}

bool CalcManager::addCalculation(const Calculation& calculation) {
    auto previous = calculations_;
    calculations_.insert(calculations_.begin(), calculation);
    return saveCalculations(std::move(previous));
}

bool CalcManager::deleteCalculation(std::ptrdiff_t index) {
    if (!isValidIndex(index)) return false;
    auto previous = calculations_;
    calculations_.erase(calculations_.begin() + index);
    return saveCalculations(std::move(previous));
}

bool CalcManager::moveCalculation(std::ptrdiff_t from, std::ptrdiff_t to) {
    if (!isValidIndex(from) || !isValidIndex(to)) return false;
    if (from == to) return true;
    auto previous = calculations_;
    Calculation moved = std::move(calculations_[static_cast<std::size_t>(from)]);
    calculations_.erase(calculations_.begin() + from);
    calculations_.insert(calculations_.begin() + to, std::move(moved));
    return saveCalculations(std::move(previous));
}

bool CalcManager::removeAllCalculations() {
    auto previous = std::move(calculations_);
    calculations_.clear();
    return saveCalculations(std::move(previous));  // the key holds an empty list, not nothing
}

void CalcManager::saveCurrentSelectedCalculation() {
    saveOptional(currentSelectedCalculationKey, currentSelectedCalculation_);
}

void CalcManager::saveCurrentCalculation() { saveOptional(currentCalculationKey, currentCalculation_); }

Value::Array CalcManager::calculationsAsDictionaries() const {
    Value::Array list;
    list.reserve(calculations_.size());
    for (const auto& calculation : calculations_) list.emplace_back(calculation.dictionary());
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

bool CalcManager::saveCalculations(std::vector<Calculation> previous, bool announceFailure) {
    if (storedCalculations().set(calculationsAsDictionaries(), userDefaults_)) return true;
    const auto diagnostics = userDefaults_.diagnostics();
    // The preferences keep a change they could not write and would store it
    // with the next one that succeeds: the history goes back to what the
    // file holds, in memory on both sides.
    calculations_ = std::move(previous);
    storedCalculations().set(calculationsAsDictionaries(), userDefaults_);
    if (announceFailure) {
        showToast(LocalizedString::localized("The history could not be saved") +
                  (diagnostics.empty() ? "" : ": " + failureReason(diagnostics.back())));
    }
    return false;
}

bool CalcManager::isValidIndex(std::ptrdiff_t index) const {
    return index >= 0 && static_cast<std::size_t>(index) < calculations_.size();
}

void CalcManager::saveOptional(const char* key, const std::optional<Calculation>& calculation) {
    if (calculation) {
        userDefaults_.setObject(calculation->dictionary(), key);
    } else {
        userDefaults_.removeObjectForKey(key);
    }
}

}  // namespace velmora
