// The step LaTeX rewriting: one ordered pass, repeated to a fixed point.
#include "velmora/screens/step_latex.h"

#include <array>
#include <utility>

namespace velmora {

namespace {

// Every occurrence, left to right, without overlaps.
std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
        out.append(text, start, at - start);
        out += to;
        start = at + from.size();
    }
    out.append(text, start, std::string::npos);
    return out;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// The first ".0" goes when nothing or no decimal digit follows it; a text
// whose first ".0" opens a longer fraction (0.05) is left alone.
std::string dropFirstBareDecimalZero(const std::string& text) {
    auto at = text.find(".0");
    if (at == std::string::npos) return text;
    auto next = at + 2;
    if (next < text.size() && text[next] >= '0' && text[next] <= '9') return text;
    return text.substr(0, at) + text.substr(next);
}

using Replacement = std::pair<const char*, const char*>;

constexpr std::array<Replacement, 10> kLeadingReplacements{{
    {"  ", " "},
    {"\\quad", "\\quad "},
    {". ", " "},
    {"(", "\\left("},
    {")", "\\right)"},
    {"\\left\\left", "\\left"},
    {"\\right\\right", "\\right"},
    {" 1x", "x"},
    {" 0x", ""},
    {".0\\quad", "\\quad"},
}};

constexpr std::array<Replacement, 11> kSignReplacements{{
    {"+-", "-"},
    {"-+", "-"},
    {"+ -", "-"},
    {"- +", "-"},
    {"+ +", "+"},
    {"++", "+"},
    {"--", "+"},
    {"- -", "+"},
    {"*", "\\cdot "},
    {"= +", "="},
    {"=+", "="},
}};

constexpr std::array<const char*, 10> kRomanNumerals{"I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X"};

// A list label at the very start keeps its plain closing parenthesis.
std::string restoreLeadingLabel(std::string text) {
    for (const char* numeral : kRomanNumerals) {
        const std::string label = std::string(numeral) + "\\right)";
        if (startsWith(text, label)) text = replaceAll(text, label, std::string(numeral) + ")");
    }
    return text;
}

std::string rewritePass(std::string text) {
    for (const auto& [from, to] : kLeadingReplacements) text = replaceAll(text, from, to);
    if (endsWith(text, ".0")) text.resize(text.size() - 2);
    text = dropFirstBareDecimalZero(text);
    for (const auto& [from, to] : kSignReplacements) text = replaceAll(text, from, to);
    return restoreLeadingLabel(std::move(text));
}

}  // namespace

std::string rewriteStepLatex(const std::string& latex) {
    std::string text = latex;
    for (int pass = 0; pass < kMaxStepLatexPasses; ++pass) {
        std::string next = rewritePass(text);
        if (next == text) break;
        text = std::move(next);
    }
    return replaceAll(text, "\\color", "\\;\\color");
}

}  // namespace velmora
