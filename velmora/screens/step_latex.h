#pragma once

#include <string>

// The tidying of a solution step's LaTeX before it is typeset.
namespace velmora {

// Applies the ordered rewriting rules (spaces, parentheses as \left( and
// \right), signs, multiplication, decimal zeros, roman-numeral labels) until
// a pass changes nothing, then puts a thin space ahead of every \color.
// Passes are capped (kMaxStepLatexPasses) so that no text can keep the
// rewriting going for ever; the text of the last pass is then taken.
std::string rewriteStepLatex(const std::string& latex);

inline constexpr int kMaxStepLatexPasses = 64;

}  // namespace velmora
