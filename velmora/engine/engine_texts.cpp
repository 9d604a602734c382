#include "velmora/engine/engine_texts.h"

#include "platform/foundation/bundle.h"
#include "velmora/engine/engine_texts_shared_state.h"

velmora::detail::TextConstants& velmora::detail::textConstants() {
    static auto* texts = new TextConstants;  // outlives every static that asks
    return *texts;
}

namespace velmora::LocalizedString {


std::string localized(const std::string& key) {
    return platform::Bundle::main().localizedString(key);
}

const std::string& localizedOnce(const std::string& key) {
    auto& texts = velmora::detail::textConstants();
    std::lock_guard lock(texts.mutex);
    auto it = texts.made.find(key);
    if (it == texts.made.end()) it = texts.made.emplace(key, &texts.kept.emplace_back(localized(key))).first;
    return *it->second;
}

const std::string& yourInput() { return localizedOnce("Your Input"); }
const std::string& expand() { return localizedOnce("Expand"); }
const std::string& modifiedInput() { return localizedOnce("Modified Input"); }
const std::string& result() { return localizedOnce("Result"); }
const std::string& insert() { return localizedOnce("Insert"); }
const std::string& calculate() { return localizedOnce("Calculate Verb"); }
const std::string& error() { return localizedOnce("error"); }
const std::string& cancelMath() { return localizedOnce("Cancel (math)"); }
const std::string& choosenFormula() { return localizedOnce("Choosen Formula"); }
const std::string& quickSolution() { return localizedOnce("Quick Solution"); }
const std::string& fullSolution() { return localizedOnce("Full Solution"); }
const std::string& histogram() { return localizedOnce("Histogram"); }
const std::string& distributionFunction() { return localizedOnce("Distribution function"); }
const std::string& probabilityTree() { return localizedOnce("Probability Tree"); }

}  // namespace velmora::LocalizedString
