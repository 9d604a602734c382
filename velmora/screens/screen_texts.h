#pragma once

#include <map>
#include <string>

#include "platform/foundation/value.h"
#include "velmora/engine/engine_texts.h"

// The localised texts of the screens, beside those of the engine (included
// above, in the same namespace). Each is looked up in the main bundle once,
// at its first use, and kept; a key without a translation reads as the key.
namespace velmora::LocalizedString {

const std::string& fillInYourGivenNumbers();     // "Fill in your given numbers:"
const std::string& recommendedVideoIfUnclear();  // "recommendedVideoIfUnclear"
const std::string& touchToUnlock();              // "touchTounlock"
const std::string& cancel();                     // "Cancel"
const std::string& rate();                       // "Rate"
const std::string& send();                       // "Send"
const std::string& close();                      // "Close"
const std::string& thanks();                     // "Thanks"
const std::string& bernoulliFormula();           // "Bernoulli Formula"

// The example calculation the history seeds on the first start.
const std::map<std::string, std::string>& exampleInputParameters();  // k 2, n 5, p 0.3
const platform::Value::Dictionary& exampleSetupParameters();          // {"appKey": "QZT"}

}  // namespace velmora::LocalizedString
