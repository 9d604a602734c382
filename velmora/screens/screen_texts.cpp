#include "velmora/screens/screen_texts.h"


namespace velmora::LocalizedString {

// Translator comments: the key itself unless noted.
const std::string& fillInYourGivenNumbers() { return localizedOnce("Fill in your given numbers:"); }
const std::string& recommendedVideoIfUnclear() { return localizedOnce("recommendedVideoIfUnclear"); }  // "Recommended video if unclear"
const std::string& touchToUnlock() { return localizedOnce("touchTounlock"); }  // "Touch to unlock"
const std::string& cancel() { return localizedOnce("Cancel"); }
const std::string& rate() { return localizedOnce("Rate"); }
const std::string& send() { return localizedOnce("Send"); }
const std::string& close() { return localizedOnce("Close"); }
const std::string& thanks() { return localizedOnce("Thanks"); }
const std::string& bernoulliFormula() { return localizedOnce("Bernoulli Formula"); }

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
