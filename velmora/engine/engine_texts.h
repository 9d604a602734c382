#pragma once

#include <string>

// The localised texts the engine writes into steps and chart records. Each
// is looked up in the main bundle's string tables at its first use and kept
// for the process; a key without a translation reads as the key itself.
namespace velmora::LocalizedString {

// The translation of any key, looked up now (not cached).
std::string localized(const std::string& key);
// The text of the key, looked up at its first use and kept for the life of
// the process: a step title keeps the language it was written in.
const std::string& localizedOnce(const std::string& key);

const std::string& yourInput();             // "Your Input"
const std::string& expand();                // "Expand"
const std::string& modifiedInput();         // "Modified Input"
const std::string& result();                // "Result"
const std::string& insert();                // "Insert"
const std::string& calculate();             // "Calculate Verb"
const std::string& error();                 // "error"
const std::string& cancelMath();            // "Cancel (math)"
const std::string& choosenFormula();        // "Choosen Formula"
const std::string& quickSolution();         // "Quick Solution"
const std::string& fullSolution();          // "Full Solution"
const std::string& histogram();             // "Histogram"
const std::string& distributionFunction();  // "Distribution function"
const std::string& probabilityTree();       // "Probability Tree"

}  // namespace velmora::LocalizedString
