#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/user_defaults.h"
#include "velmora/screens/calculation.h"

namespace velmora {

// The calculation history, newest first, kept in the standard preferences
// and rewritten whole on every change; also the entry last picked in the
// history (the selected calculation) and the inputs last left on the
// calculator page (the current calculation). Main thread only. During a turn
// of the main loop the preferences write their changes once, at its end.
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

    // Loads both optional calculations, and the stored history when it is
    // empty (an absent one is stored as an empty list); a stored history is
    // read into entries when first asked for, so that a launch that never
    // shows it does not pay for a long one. The first-start date comes from
    // the process clock (platform::dispatch::currentClock()).
    explicit CalcManager(platform::UserDefaults userDefaults = platform::UserDefaults());
    CalcManager(const CalcManager&) = delete;
    CalcManager& operator=(const CalcManager&) = delete;

    platform::UserDefaults& userDefaults() { return userDefaults_; }
    const std::vector<Calculation>& calculations() const { return history(); }
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
    // person is told with a toast that gives the reason. Deleting, moving
    // and clearing write at once, for the history screen acts on the
    // answer; an entry added during a turn of the main loop is written with
    // the turn's other changes at its end, and answers true until then (a
    // failure undoes it there).
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
    // The history, read from the preferences the first time.
    std::vector<Calculation>& history() const;
    std::vector<Calculation> readCalculations() const;
    // Whether the stored history holds an entry.
    bool storesEntries() const;
    // Puts one change of the history back, in memory.
    using Undo = std::function<void(std::vector<Calculation>&)>;

    // Writes the history after a change, at once when asked to wait for the
    // write, else with the turn's other changes. When the write fails, every
    // change not written yet is undone and, when one asked for it, the
    // person is told.
    bool saveCalculations(Undo undo, bool announceFailure = true, bool waitForWrite = false);
    bool storeCalculations();
    // The answer of the write of the changes not written yet.
    bool finishSave(bool written);
    bool isValidIndex(std::ptrdiff_t index) const;
    void saveOptional(const char* key, const std::optional<Calculation>& calculation);

    platform::UserDefaults userDefaults_;
    mutable std::vector<Calculation> calculations_;
    mutable bool historyRead_ = false;
    std::optional<Calculation> currentCalculation_;
    std::optional<Calculation> currentSelectedCalculation_;
    // The changes whose write has not answered yet, oldest first.
    std::vector<Undo> unwritten_;
    bool announceUnwritten_ = false;
    // Lets an answer that comes at the end of a turn find the store gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmora
