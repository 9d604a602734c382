#include "velmora/screens/localized_string.h"

#include <mutex>

namespace velmora::LocalizedString {

namespace {

// Looked up once and kept, as the engine's texts are.
const std::string& kept(const std::string& key) {
    static std::mutex mutex;
    static std::map<std::string, std::string> texts;
    std::lock_guard lock(mutex);
    auto it = texts.find(key);
    if (it == texts.end()) it = texts.emplace(key, localized(key)).first;
    return it->second;
}

}  // namespace

// Translator comments: the key itself unless noted.
const std::string& fillInYourGivenNumbers() { return kept("Fill in your given numbers:"); }
const std::string& recommendedVideoIfUnclear() { return kept("recommendedVideoIfUnclear"); }  // "Recommended video if unclear"
const std::string& touchToUnlock() { return kept("touchTounlock"); }  // "Touch to unlock"
const std::string& cancel() { return kept("Cancel"); }
const std::string& rate() { return kept("Rate"); }
const std::string& send() { return kept("Send"); }
const std::string& close() { return kept("Close"); }
const std::string& thanks() { return kept("Thanks"); }
const std::string& bernoulliFormula() { return kept("Bernoulli Formula"); }

const std::map<std::string, std::string>& exampleInputParameters() {
    static const std::map<std::string, std::string> parameters{
        {"kTextField", "2"}, {"nTextField", "5"}, {"pTextField", "0.3"}};
    return parameters;
}

const platform::Value::Dictionary& exampleSetupParameters() {
    static const platform::Value::Dictionary parameters{{"appKey", "QZT"}};
    return parameters;
}

}  // namespace velmora::LocalizedString
