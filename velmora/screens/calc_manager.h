#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/user_defaults.h"
#include "velmora/screens/calculation.h"

namespace velmora {

// The calculation history, newest first, kept in the standard preferences
// and rewritten whole on every change; also the entry last picked in the
// history (the selected calculation) and the inputs last left on the
// calculator page (the current calculation). Main thread only.
class CalcManager {
public:
    // The preference keys of the store, all in the standard suite.
    static constexpr const char* calculationsKey = "Calculations";
    static constexpr const char* currentSelectedCalculationKey = "CurrentSelectedCalculation";
    static constexpr const char* currentCalculationKey = "CurrentCalculation";
    static constexpr const char* firstAppStartAtKey = "firstAppStartAt";

    // The process's store on the standard preferences, made on first use.
    static CalcManager& shared();
    // Lets go of the shared store; the next shared() loads it again from the
    // standard preferences, as a new run of the process does (tests, runner).
    static void resetShared();

    // Loads the stored history and both optional calculations. The first-start
    // date comes from the process clock (platform::dispatch::currentClock()).
    explicit CalcManager(platform::UserDefaults userDefaults = platform::UserDefaults());

    platform::UserDefaults& userDefaults() { return userDefaults_; }
    const std::vector<Calculation>& calculations() const { return calculations_; }
    const std::optional<Calculation>& currentCalculation() const { return currentCalculation_; }
    const std::optional<Calculation>& currentSelectedCalculation() const { return currentSelectedCalculation_; }

    // Each assignment is written at once, under its own key; none removes it.
    void setCurrentCalculation(std::optional<Calculation> calculation);
    void setCurrentSelectedCalculation(std::optional<Calculation> calculation);

    // The stored history in order; an empty or absent one is stored as an
    // empty list.
    std::vector<Calculation> loadCalculations();
    std::optional<Calculation> loadCalculation(const std::string& key) const;

    // Each change of the history answers whether it was stored. One that
    // cannot be written (a full disk, a folder that cannot be written) is
    // undone, so that the history shows what a restart finds, and the
    // person is told with a toast that gives the reason.
    bool addCalculation(const Calculation& calculation);
    // Refused (false, nothing written) for an index outside the history.
    bool deleteCalculation(std::ptrdiff_t index);
    // Takes the entry out at `from` and puts it back at `to`, as a dragged
    // table row moves; the entries between shift by one. One write.
    bool moveCalculation(std::ptrdiff_t from, std::ptrdiff_t to);
    bool removeAllCalculations();

    void saveCurrentSelectedCalculation();
    void saveCurrentCalculation();

    platform::Value::Array calculationsAsDictionaries() const;
    static platform::Value::Dictionary dictionary(const Calculation& calculation) { return calculation.dictionary(); }

    // On the very first start: stores the date under "firstAppStartAt" and
    // seeds the example; afterwards does nothing.
    void handleFirstStart();
    void addExampleCalculation();

private:
    // Writes the history; when that fails, goes back to `previous` and, when
    // asked, tells the person.
    bool saveCalculations(std::vector<Calculation> previous, bool announceFailure = true);
    bool isValidIndex(std::ptrdiff_t index) const;
    void saveOptional(const char* key, const std::optional<Calculation>& calculation);

    platform::UserDefaults userDefaults_;
    std::vector<Calculation> calculations_;
    std::optional<Calculation> currentCalculation_;
    std::optional<Calculation> currentSelectedCalculation_;
};

}  // namespace velmora
