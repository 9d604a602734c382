#include "velmora/engine/localized_string.h"

#include <map>
#include <mutex>

#include "platform/foundation/bundle.h"

namespace velmora::LocalizedString {

namespace {

// Fixed at first use: a step title keeps the language it was written in.
const std::string& once(const std::string& key) {
    static std::mutex mutex;
    static std::map<std::string, std::string> texts;
    std::lock_guard lock(mutex);
    auto it = texts.find(key);
    if (it == texts.end()) it = texts.emplace(key, localized(key)).first;
    return it->second;
}

}  // namespace

std::string localized(const std::string& key) {
    return platform::Bundle::main().localizedString(key);
}

const std::string& yourInput() { return once("Your Input"); }
const std::string& expand() { return once("Expand"); }
const std::string& modifiedInput() { return once("Modified Input"); }
const std::string& result() { return once("Result"); }
const std::string& insert() { return once("Insert"); }
const std::string& calculate() { return once("Calculate Verb"); }
const std::string& error() { return once("error"); }
const std::string& cancelMath() { return once("Cancel (math)"); }
const std::string& choosenFormula() { return once("Choosen Formula"); }
const std::string& quickSolution() { return once("Quick Solution"); }
const std::string& fullSolution() { return once("Full Solution"); }
const std::string& histogram() { return once("Histogram"); }
const std::string& distributionFunction() { return once("Distribution function"); }
const std::string& probabilityTree() { return once("Probability Tree"); }

}  // namespace velmora::LocalizedString
