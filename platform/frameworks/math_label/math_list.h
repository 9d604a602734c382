#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/color.h"

// The formula model of the LaTeX label: what the parser makes of a text and
// what the layout sets. Internal to the label, open to its tests.
namespace platform::math {

struct MathAtom;
using MathList = std::vector<MathAtom>;

struct MathAtom {
    enum class Kind {
        ordinary,     // a digit, a letter, a symbol
        variable,     // a Latin or Greek letter, in italics
        binaryOp,     // + − · ×
        relation,     // = < ≤ ≈ …
        open,         // ( [
        close,        // ) ]
        punctuation,  // , ;
        group,        // { … }
        fraction,     // \frac and \binom
        inner,        // \left … \right
        space,        // \quad, \; …
        accent,       // \hat{…}
        text,         // \text{…}, \mathrm{…}, function names
        color,        // \color{#rrggbb}{…}
        radical,      // \sqrt[…]{…}
    };

    Kind kind = Kind::ordinary;
    std::string glyph;                 // what is drawn for the atom itself
    double spaceEm = 0;                // space atoms
    bool hasRule = true;               // fractions: \binom has none
    std::string leftDelimiter;         // inner atoms and \binom
    std::string rightDelimiter;
    std::optional<gfx::Color> color;   // color atoms
    std::shared_ptr<MathList> first;   // group, inner, accent, color, text body, numerator, radicand
    std::shared_ptr<MathList> second;  // denominator, radical degree
    std::shared_ptr<MathList> superscript;
    std::shared_ptr<MathList> subscript;
};

struct MathParseError {
    enum class Code {
        mismatchedBraces, invalidCommand, missingArgument, missingDelimiter, invalidDelimiter, missingRight,
        missingLeft, invalidColor, doubleSuperscript, doubleSubscript, invalidCharacter, nestedTooDeeply
    };
    Code code = Code::invalidCommand;
    std::string message;
};

struct ParseResult {
    MathList list;
    std::optional<MathParseError> error;
};

// How deeply groups, arguments and scripts may nest: far beyond any
// formula, and a bound on the parser's and the layout's recursion.
constexpr int maxNesting = 100;

// Parses LaTeX in math mode.
ParseResult parseLatex(const std::string& latex);

}  // namespace platform::math
