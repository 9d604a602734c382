#include <cctype>
#include <map>

#include "platform/frameworks/math_label/math_list.h"

namespace platform::math {

namespace {

struct Symbol {
    MathAtom::Kind kind;
    const char* glyph;
};

const std::map<std::string, Symbol>& symbols() {
    using K = MathAtom::Kind;
    static const std::map<std::string, Symbol> table{
        {"cdot", {K::binaryOp, "\u00B7"}}, {"times", {K::binaryOp, "\u00D7"}}, {"div", {K::binaryOp, "\u00F7"}},
        {"pm", {K::binaryOp, "\u00B1"}}, {"mp", {K::binaryOp, "\u2213"}}, {"ast", {K::binaryOp, "*"}},
        {"circ", {K::binaryOp, "\u2218"}}, {"bullet", {K::binaryOp, "\u2022"}}, {"cup", {K::binaryOp, "\u222A"}},
        {"cap", {K::binaryOp, "\u2229"}},
        {"le", {K::relation, "\u2264"}}, {"leq", {K::relation, "\u2264"}}, {"ge", {K::relation, "\u2265"}},
        {"geq", {K::relation, "\u2265"}}, {"neq", {K::relation, "\u2260"}}, {"ne", {K::relation, "\u2260"}},
        {"approx", {K::relation, "\u2248"}}, {"equiv", {K::relation, "\u2261"}}, {"sim", {K::relation, "\u223C"}},
        {"simeq", {K::relation, "\u2243"}}, {"propto", {K::relation, "\u221D"}}, {"lt", {K::relation, "<"}},
        {"gt", {K::relation, ">"}}, {"to", {K::relation, "\u2192"}}, {"rightarrow", {K::relation, "\u2192"}},
        {"leftarrow", {K::relation, "\u2190"}}, {"Rightarrow", {K::relation, "\u21D2"}},
        {"Leftrightarrow", {K::relation, "\u21D4"}}, {"mapsto", {K::relation, "\u21A6"}},
        {"in", {K::relation, "\u2208"}}, {"notin", {K::relation, "\u2209"}}, {"subset", {K::relation, "\u2282"}},
        {"subseteq", {K::relation, "\u2286"}},
        {"infty", {K::ordinary, "\u221E"}}, {"partial", {K::ordinary, "\u2202"}}, {"nabla", {K::ordinary, "\u2207"}},
        {"ldots", {K::ordinary, "\u2026"}}, {"cdots", {K::ordinary, "\u22EF"}}, {"dots", {K::ordinary, "\u2026"}},
        {"prime", {K::ordinary, "\u2032"}}, {"degree", {K::ordinary, "\u00B0"}}, {"emptyset", {K::ordinary, "\u2205"}},
        {"%", {K::ordinary, "%"}}, {"$", {K::ordinary, "$"}}, {"#", {K::ordinary, "#"}}, {"&", {K::ordinary, "&"}},
        {"_", {K::ordinary, "_"}}, {"{", {K::open, "{"}}, {"}", {K::close, "}"}},
        {"lbrace", {K::open, "{"}}, {"rbrace", {K::close, "}"}}, {"langle", {K::open, "\u27E8"}},
        {"rangle", {K::close, "\u27E9"}}, {"vert", {K::ordinary, "|"}},
        {"alpha", {K::variable, "\u03B1"}}, {"beta", {K::variable, "\u03B2"}}, {"gamma", {K::variable, "\u03B3"}},
        {"delta", {K::variable, "\u03B4"}}, {"epsilon", {K::variable, "\u03B5"}},
        {"varepsilon", {K::variable, "\u03B5"}}, {"zeta", {K::variable, "\u03B6"}}, {"eta", {K::variable, "\u03B7"}},
        {"theta", {K::variable, "\u03B8"}}, {"iota", {K::variable, "\u03B9"}}, {"kappa", {K::variable, "\u03BA"}},
        {"lambda", {K::variable, "\u03BB"}}, {"mu", {K::variable, "\u03BC"}}, {"nu", {K::variable, "\u03BD"}},
        {"xi", {K::variable, "\u03BE"}}, {"pi", {K::variable, "\u03C0"}}, {"rho", {K::variable, "\u03C1"}},
        {"sigma", {K::variable, "\u03C3"}}, {"tau", {K::variable, "\u03C4"}}, {"upsilon", {K::variable, "\u03C5"}},
        {"phi", {K::variable, "\u03C6"}}, {"varphi", {K::variable, "\u03C6"}}, {"chi", {K::variable, "\u03C7"}},
        {"psi", {K::variable, "\u03C8"}}, {"omega", {K::variable, "\u03C9"}}, {"Gamma", {K::variable, "\u0393"}},
        {"Delta", {K::variable, "\u0394"}}, {"Theta", {K::variable, "\u0398"}}, {"Lambda", {K::variable, "\u039B"}},
        {"Xi", {K::variable, "\u039E"}}, {"Pi", {K::variable, "\u03A0"}}, {"Sigma", {K::variable, "\u03A3"}},
        {"Phi", {K::variable, "\u03A6"}}, {"Psi", {K::variable, "\u03A8"}}, {"Omega", {K::variable, "\u03A9"}},
    };
    return table;
}

const std::map<std::string, double>& spaces() {
    static const std::map<std::string, double> table{
        {"quad", 1.0},       {"qquad", 2.0}, {";", 5.0 / 18}, {":", 4.0 / 18}, {",", 3.0 / 18},
        {"!", -3.0 / 18},    {" ", 0.25},    {"enspace", 0.5}, {"thinspace", 3.0 / 18},
    };
    return table;
}

bool isFunctionName(const std::string& name) {
    static const char* names[] = {"sin",  "cos",  "tan",    "cot",    "sec",    "csc",  "log",  "ln",
                                  "exp",  "lim",  "max",    "min",    "det",    "arcsin", "arccos", "arctan",
                                  "sinh", "cosh", "tanh",   "gcd",    "deg",    "mod"};
    for (const char* n : names) {
        if (name == n) return true;
    }
    return false;
}

const std::map<std::string, gfx::Color>& namedColors() {
    static const std::map<std::string, gfx::Color> table{
        {"black", gfx::Color::black()}, {"white", gfx::Color::white()}, {"red", gfx::Color::rgb(1, 0, 0)},
        {"green", gfx::Color::rgb(0, 0.5, 0)}, {"blue", gfx::Color::rgb(0, 0, 1)},
        {"gray", gfx::Color::rgb(0.5, 0.5, 0.5)}, {"orange", gfx::Color::rgb(1, 0.5, 0)},
    };
    return table;
}

std::optional<gfx::Color> parseColor(const std::string& text) {
    auto named = namedColors().find(text);
    if (named != namedColors().end()) return named->second;
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 1; i < 7; ++i) {
        char c = text[i];
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : (c >= 'a' && c <= 'f')                   ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F')                   ? c - 'A' + 10
                                                               : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return gfx::Color::rgb(((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0);
}

struct Failure {
    MathParseError error;
};

[[noreturn]] void fail(MathParseError::Code code, std::string message) { throw Failure{{code, std::move(message)}}; }

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    MathList parseAll() { return parseList(End::text); }

private:
    enum class End { text, brace, right };

    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }
    void skipSpace() {
        while (!atEnd() && std::isspace(static_cast<unsigned char>(peek()))) ++pos_;
    }

    // One UTF-8 character (a non-ASCII letter is one atom).
    std::string takeCharacter() {
        std::size_t start = pos_;
        auto lead = static_cast<unsigned char>(s_[pos_++]);
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : 0;
        for (int i = 0; i < extra && !atEnd(); ++i) ++pos_;
        return s_.substr(start, pos_ - start);
    }

    std::string readCommandName() {
        // after the backslash
        if (atEnd()) fail(MathParseError::Code::invalidCommand, "Missing command after \\");
        if (!std::isalpha(static_cast<unsigned char>(peek()))) return std::string(1, s_[pos_++]);
        std::size_t start = pos_;
        while (!atEnd() && std::isalpha(static_cast<unsigned char>(peek()))) ++pos_;
        return s_.substr(start, pos_ - start);
    }

    // The raw text of a brace group (nested braces kept), for \text and \color.
    std::string readRawGroup(const std::string& command) {
        skipSpace();
        if (atEnd() || peek() != '{') fail(MathParseError::Code::missingArgument, "Missing argument for \\" + command);
        ++pos_;
        int depth = 1;
        std::string out;
        while (!atEnd()) {
            char c = s_[pos_++];
            if (c == '\\' && !atEnd()) {
                char next = s_[pos_++];
                if (next == '{' || next == '}' || next == '%' || next == '$' || next == '#' || next == '&' ||
                    next == '_') {
                    out.push_back(next);
                } else {
                    out.push_back('\\');
                    out.push_back(next);
                }
                continue;
            }
            if (c == '{') ++depth;
            if (c == '}' && --depth == 0) return out;
            out.push_back(c);
        }
        fail(MathParseError::Code::mismatchedBraces, "Missing closing brace");
    }

    std::string readDelimiter(const std::string& command) {
        skipSpace();
        if (atEnd()) fail(MathParseError::Code::missingDelimiter, "Missing delimiter for \\" + command);
        if (peek() == '\\') {
            ++pos_;
            std::string name = readCommandName();
            if (name == "{" || name == "lbrace") return "{";
            if (name == "}" || name == "rbrace") return "}";
            if (name == "langle") return "\u27E8";
            if (name == "rangle") return "\u27E9";
            if (name == "|" || name == "Vert") return "\u2016";
            if (name == "vert") return "|";
            fail(MathParseError::Code::invalidDelimiter, "Invalid delimiter for \\" + command + ": \\" + name);
        }
        char c = s_[pos_++];
        if (c == '(' || c == ')' || c == '[' || c == ']' || c == '|' || c == '/' || c == '<' || c == '>') {
            return std::string(1, c);
        }
        if (c == '.') return "";
        fail(MathParseError::Code::invalidDelimiter, "Invalid delimiter for \\" + command + ": " + std::string(1, c));
    }

    std::shared_ptr<MathList> parseArgument(const std::string& what) {
        skipSpace();
        if (atEnd() || peek() == '}' || peek() == '^' || peek() == '_' || peek() == '&') {
            fail(MathParseError::Code::missingArgument, "Missing argument for " + what);
        }
        if (peek() == '{') {
            ++pos_;
            return std::make_shared<MathList>(parseList(End::brace));
        }
        MathList single;
        parseOne(single);
        return std::make_shared<MathList>(std::move(single));
    }

    void attachScript(MathList& list, bool super) {
        if (list.empty() || list.back().kind == MathAtom::Kind::space) list.push_back(MathAtom{});
        MathAtom& base = list.back();
        auto& slot = super ? base.superscript : base.subscript;
        if (slot) {
            fail(super ? MathParseError::Code::doubleSuperscript : MathParseError::Code::doubleSubscript,
                 super ? "Double superscript" : "Double subscript");
        }
        slot = parseArgument(super ? "^" : "_");
    }

    MathList parseList(End end) {
        MathList list;
        while (true) {
            skipSpace();
            if (atEnd()) {
                if (end == End::brace) fail(MathParseError::Code::mismatchedBraces, "Missing closing brace");
                if (end == End::right) fail(MathParseError::Code::missingRight, "Missing \\right");
                return list;
            }
            char c = peek();
            if (c == '}') {
                if (end != End::brace) fail(MathParseError::Code::mismatchedBraces, "Mismatched braces");
                ++pos_;
                return list;
            }
            if (end == End::right && c == '\\' && s_.compare(pos_, 6, "\\right") == 0 &&
                (pos_ + 6 >= s_.size() || !std::isalpha(static_cast<unsigned char>(s_[pos_ + 6])))) {
                pos_ += 6;
                rightDelimiter_ = readDelimiter("right");
                return list;
            }
            parseOne(list);
        }
    }

    // Every nested construct passes through here, so the depth is counted here.
    void parseOne(MathList& list) {
        if (depth_ >= maxNesting) fail(MathParseError::Code::nestedTooDeeply, "Formula nested too deeply");
        ++depth_;
        parseOneAtom(list);
        --depth_;
    }

    void parseOneAtom(MathList& list) {
        using K = MathAtom::Kind;
        char c = peek();
        if (c == '{') {
            ++pos_;
            MathAtom group;
            group.kind = K::group;
            group.first = std::make_shared<MathList>(parseList(End::brace));
            list.push_back(std::move(group));
            return;
        }
        if (c == '^' || c == '_') {
            ++pos_;
            attachScript(list, c == '^');
            return;
        }
        if (c == '&') fail(MathParseError::Code::invalidCharacter, "& is only allowed in tables");
        if (c == '\\') {
            ++pos_;
            parseCommand(list, readCommandName());
            return;
        }
        MathAtom atom;
        atom.glyph = takeCharacter();
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
            atom.kind = K::ordinary;
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            atom.kind = K::variable;
        } else if (c == '+' || c == '-' || c == '*') {
            atom.kind = K::binaryOp;
            if (c == '-') atom.glyph = "\u2212";
        } else if (c == '=' || c == '<' || c == '>' || c == ':') {
            atom.kind = K::relation;
        } else if (c == '(' || c == '[') {
            atom.kind = K::open;
        } else if (c == ')' || c == ']') {
            atom.kind = K::close;
        } else if (c == ',' || c == ';') {
            atom.kind = K::punctuation;
        } else if (c == '~') {
            atom.kind = K::space;
            atom.glyph.clear();
            atom.spaceEm = 0.25;
        } else if (c == '\'') {
            atom.glyph = "\u2032";
        } else {
            atom.kind = K::ordinary;
        }
        list.push_back(std::move(atom));
    }

    void parseCommand(MathList& list, const std::string& name) {
        using K = MathAtom::Kind;
        MathAtom atom;
        if (name == "frac" || name == "dfrac" || name == "tfrac" || name == "binom") {
            atom.kind = K::fraction;
            atom.first = parseArgument("\\" + name);
            atom.second = parseArgument("\\" + name);
            if (name == "binom") {
                atom.hasRule = false;
                atom.leftDelimiter = "(";
                atom.rightDelimiter = ")";
            }
        } else if (name == "color" || name == "textcolor") {
            std::string colorText = readRawGroup(name);
            auto color = parseColor(colorText);
            if (!color) fail(MathParseError::Code::invalidColor, "Invalid color: " + colorText);
            atom.kind = K::color;
            atom.color = color;
            atom.first = parseArgument("\\" + name);
        } else if (name == "left") {
            atom.kind = K::inner;
            atom.leftDelimiter = readDelimiter("left");
            std::string saved = rightDelimiter_;
            atom.first = std::make_shared<MathList>(parseList(End::right));
            atom.rightDelimiter = rightDelimiter_;
            rightDelimiter_ = saved;
        } else if (name == "right") {
            fail(MathParseError::Code::missingLeft, "Missing \\left for \\right");
        } else if (auto space = spaces().find(name); space != spaces().end()) {
            atom.kind = K::space;
            atom.spaceEm = space->second;
        } else if (name == "text" || name == "textrm" || name == "textbf" || name == "textit" || name == "mbox") {
            atom.kind = K::text;
            atom.glyph = readRawGroup(name);
        } else if (name == "mathrm" || name == "mathbf" || name == "operatorname" || name == "mathit") {
            atom.kind = K::text;
            atom.glyph = readRawGroup(name);
        } else if (name == "hat" || name == "bar" || name == "vec" || name == "tilde" || name == "dot" ||
                   name == "widehat" || name == "overline") {
            atom.kind = K::accent;
            atom.glyph = name == "hat" || name == "widehat" ? "^" : name == "bar" || name == "overline" ? "\u00AF"
                         : name == "vec"                    ? "\u2192"
                         : name == "tilde"                  ? "~"
                                                            : "\u02D9";
            atom.first = parseArgument("\\" + name);
        } else if (name == "sqrt") {
            atom.kind = K::radical;
            skipSpace();
            if (!atEnd() && peek() == '[') {
                ++pos_;
                std::size_t close = s_.find(']', pos_);
                if (close == std::string::npos) fail(MathParseError::Code::mismatchedBraces, "Missing ] for \\sqrt");
                ParseResult degree = parseLatex(s_.substr(pos_, close - pos_));
                if (degree.error) throw Failure{*degree.error};
                atom.second = std::make_shared<MathList>(std::move(degree.list));
                pos_ = close + 1;
            }
            atom.first = parseArgument("\\sqrt");
        } else if (isFunctionName(name)) {
            atom.kind = K::text;
            atom.glyph = name;
        } else if (auto symbol = symbols().find(name); symbol != symbols().end()) {
            atom.kind = symbol->second.kind;
            atom.glyph = symbol->second.glyph;
        } else {
            fail(MathParseError::Code::invalidCommand, "Invalid command \\" + name);
        }
        list.push_back(std::move(atom));
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::string rightDelimiter_;
};

}  // namespace

ParseResult parseLatex(const std::string& latex) {
    ParseResult result;
    try {
        Parser parser(latex);
        result.list = parser.parseAll();
    } catch (const Failure& failure) {
        result.list.clear();
        result.error = failure.error;
    }
    return result;
}

}  // namespace platform::math
