// Programs written as text, encoded, and disassembled back.
#include "measurement/script/text/program_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "measurement/script/script_string.h"

namespace measurement::script_text {

EntityNode EntityNode::string(std::string text) {
    EntityNode node;
    node.type = 1;
    node.stringValue = std::move(text);
    return node;
}

EntityNode EntityNode::number(double value) {
    EntityNode node;
    node.type = 2;
    node.numberValue = value;
    return node;
}

EntityNode EntityNode::boolean(bool value) {
    EntityNode node;
    node.type = 3;
    node.booleanValue = value;
    return node;
}

EntityNode EntityNode::statement(std::string name, std::vector<EntityNode> arguments) {
    EntityNode node;
    node.type = 4;
    node.name = std::move(name);
    node.entities = std::move(arguments);
    return node;
}

const std::vector<Mnemonic> kMnemonics = {
    {"add", "0"},       {"and", "1"},       {"call", "2"},        {"set", "3"},        {"break", "4"},
    {"run", "5"},       {"continue", "6"},  {"array", "7"},       {"object", "8"},     {"run9", "9"},
    {"div", "10"},      {"eq", "12"},       {"comma", "13"},      {"get", "15"},       {"prop", "16"},
    {"prop17", "17"},   {"gt", "18"},       {"ge", "19"},         {"is", "20"},        {"isnt", "21"},
    {"if", "22"},       {"lt", "23"},       {"le", "24"},         {"mod", "25"},       {"mul", "26"},
    {"neg", "27"},      {"not", "28"},      {"ne", "29"},         {"or", "30"},        {"first", "32"},
    {"first33", "33"},  {"value", "34"},    {"value35", "35"},    {"return", "36"},    {"sub", "37"},
    {"switch", "38"},   {"cond", "39"},     {"typeof", "40"},     {"var", "41"},       {"while", "42"},
    {"setprop", "43"},  {"undefined", "44"}, {"null", "45"},      {"code", "46"},      {"forin", "47"},
    {"function", "50"}, {"lambda", "51"},   {"const", "52"},      {"block", "53"},     {"forinconst", "54"},
    {"forinlet", "55"}, {"bitand", "56"},   {"shl", "57"},        {"bitnot", "58"},    {"bitor", "59"},
    {"sar", "60"},      {"shr", "61"},      {"xor", "62"},        {"for", "63"},       {"forof", "64"},
    {"forofconst", "65"}, {"foroflet", "66"},
};

const char* codeForMnemonic(std::string_view name) {
    for (const auto& m : kMnemonics) {
        if (name == m.name) return m.code;
    }
    return nullptr;
}

const char* mnemonicForCode(std::string_view code) {
    for (const auto& m : kMnemonics) {
        if (code == m.code) return m.name;
    }
    return nullptr;
}

namespace {

constexpr int kMaxTextDepth = 2000;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    AssemblyResult run() {
        AssemblyResult result;
        while (error_.empty()) {
            skipSpace();
            if (pos_ >= text_.size()) break;
            if (text_[pos_] == '[') {
                ++pos_;
                parseActivity(result.program);
            } else {
                EntityNode entity;
                if (parseEntity(entity, 0)) result.program.statements.push_back(std::move(entity));
            }
        }
        result.error = error_;
        if (!error_.empty()) result.program = {};
        return result;
    }

private:
    void fail(const std::string& what) {
        if (!error_.empty()) return;
        int line = 1;
        for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
        error_ = "line " + std::to_string(line) + ": " + what;
    }

    void skipSpace() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ';') {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') {
                ++pos_;
            } else {
                break;
            }
        }
    }

    static bool isTokenChar(char c) {
        return c != '(' && c != ')' && c != '[' && c != ']' && c != '"' && c != ';' && c != ',' && c != ' ' &&
               c != '\t' && c != '\n' && c != '\r';
    }

    std::string_view token() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && isTokenChar(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    void parseActivity(ProgramNode& program) {
        skipSpace();
        if (token() != "activity") return fail("expected 'activity' after '['");
        skipSpace();
        ActivityNode activity;
        if (pos_ < text_.size() && text_[pos_] == '"') {
            std::string name;
            if (!parseString(name)) return;
            activity.name = std::move(name);
        }
        while (error_.empty()) {
            skipSpace();
            if (pos_ >= text_.size()) return fail("unterminated activity");
            if (text_[pos_] == ']') {
                ++pos_;
                break;
            }
            EntityNode rule;
            if (parseEntity(rule, 0)) activity.rules.push_back(std::move(rule));
        }
        if (!program.activities) program.activities.emplace();
        program.activities->push_back(std::move(activity));
    }

    bool parseString(std::string& out) {
        ++pos_;  // opening quote
        std::u16string units;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c != '\\') {
                const std::size_t start = pos_ - 1;
                while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\') ++pos_;
                units += utf16FromUTF8(text_.substr(start, pos_ - start));
                continue;
            }
            if (pos_ >= text_.size()) break;
            c = text_[pos_++];
            switch (c) {
                case 'n': units += u'\n'; break;
                case 'r': units += u'\r'; break;
                case 't': units += u'\t'; break;
                case '"': units += u'"'; break;
                case '\\': units += u'\\'; break;
                case 'u': {
                    unsigned value = 0;
                    if (pos_ + 4 > text_.size() ||
                        std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, value, 16).ptr !=
                            text_.data() + pos_ + 4) {
                        fail("bad \\u escape");
                        return false;
                    }
                    pos_ += 4;
                    units += static_cast<char16_t>(value);
                    break;
                }
                default:
                    fail(std::string("unknown escape \\") + c);
                    return false;
            }
        }
        if (pos_ >= text_.size()) {
            fail("unterminated string");
            return false;
        }
        ++pos_;  // closing quote
        out = utf8FromUTF16(units);
        return true;
    }

    static bool parseNumber(std::string_view t, double& value) {
        if (t == "NaN") return value = std::numeric_limits<double>::quiet_NaN(), true;
        if (t == "Infinity") return value = std::numeric_limits<double>::infinity(), true;
        if (t == "-Infinity") return value = -std::numeric_limits<double>::infinity(), true;
        if (t.empty()) return false;
        const char* begin = t.data();
        if (*begin == '+') ++begin;
        auto result = std::from_chars(begin, t.data() + t.size(), value);
        return result.ec == std::errc() && result.ptr == t.data() + t.size();
    }

    bool parseEntity(EntityNode& out, int depth) {
        if (depth > kMaxTextDepth) {
            fail("nesting too deep");
            return false;
        }
        skipSpace();
        if (pos_ >= text_.size()) {
            fail("unexpected end of text");
            return false;
        }
        const char c = text_[pos_];
        if (c == '"') {
            std::string s;
            if (!parseString(s)) return false;
            out = EntityNode::string(std::move(s));
            return true;
        }
        if (c == '(') {
            ++pos_;
            return parseStatement(out, depth);
        }
        if (c == ')' || c == ']' || c == '[') {
            fail(std::string("unexpected '") + c + "'");
            return false;
        }
        if (c == '$') {
            ++pos_;
            const auto name = token();
            if (name.empty()) {
                fail("'$' needs a name");
                return false;
            }
            out = EntityNode::statement("15", {EntityNode::string(std::string(name))});
            return true;
        }
        if (c == '?') {
            ++pos_;
            unsigned type = 0;
            const auto t = token();
            if (std::from_chars(t.data(), t.data() + t.size(), type).ptr != t.data() + t.size() || t.empty()) {
                fail("'?' needs a type number");
                return false;
            }
            out = EntityNode{};
            out.type = type;
            return true;
        }
        const auto t = token();
        if (t == "true" || t == "false") {
            out = EntityNode::boolean(t == "true");
            return true;
        }
        if (t == "null") {
            out = EntityNode::statement("45");
            return true;
        }
        if (t == "undefined") {
            out = EntityNode::statement("44");
            return true;
        }
        double value = 0;
        if (parseNumber(t, value)) {
            out = EntityNode::number(value);
            return true;
        }
        fail("unknown token '" + std::string(t) + "'");
        return false;
    }

    bool parseStatement(EntityNode& out, int depth) {
        skipSpace();
        out = EntityNode{};
        out.type = 4;
        if (pos_ < text_.size() && text_[pos_] == '"') {
            std::string name;
            if (!parseString(name)) return false;
            out.name = std::move(name);
        } else if (pos_ < text_.size() && text_[pos_] == '?') {
            ++pos_;  // a statement without a name
        } else {
            const auto head = token();
            if (const char* code = codeForMnemonic(head)) {
                out.name = code;
            } else if (!head.empty() && head.find_first_not_of("0123456789") == std::string_view::npos) {
                out.name = std::string(head);
            } else {
                fail("unknown command '" + std::string(head) + "'");
                return false;
            }
        }
        while (true) {
            skipSpace();
            if (pos_ >= text_.size()) {
                fail("unterminated statement");
                return false;
            }
            if (text_[pos_] == ')') {
                ++pos_;
                return true;
            }
            EntityNode argument;
            if (!parseEntity(argument, depth + 1)) return false;
            out.entities.push_back(std::move(argument));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

// ---- Encoding ------------------------------------------------------------

void putVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void putKey(std::vector<std::uint8_t>& out, std::uint32_t field, std::uint32_t wireType) {
    putVarint(out, (std::uint64_t{field} << 3) | wireType);
}

void putBytes(std::vector<std::uint8_t>& out, std::uint32_t field, const std::uint8_t* data, std::size_t size) {
    putKey(out, field, 2);
    putVarint(out, size);
    out.insert(out.end(), data, data + size);
}

void putString(std::vector<std::uint8_t>& out, std::uint32_t field, const std::string& text) {
    putBytes(out, field, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void putMessage(std::vector<std::uint8_t>& out, std::uint32_t field, const std::vector<std::uint8_t>& message) {
    putBytes(out, field, message.data(), message.size());
}

std::vector<std::uint8_t> encodeActivity(const ActivityNode& activity) {
    std::vector<std::uint8_t> out;
    if (activity.name) putString(out, 1, *activity.name);
    for (const auto& rule : activity.rules) putMessage(out, 2, encodeEntity(rule));
    return out;
}

// ---- Disassembly ---------------------------------------------------------

std::string numberText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// Shared by both entity forms: what an entity holds, read through callbacks.
struct EntityView {
    bool hasType;
    std::uint32_t type;
    std::optional<std::string> name;
    std::optional<std::string> stringValue;
    bool hasBoolean;
    bool boolean;
    bool hasNumber;
    double number;
    std::size_t count;
};

template <class Entity, class View, class Child>
void write(std::ostringstream& out, const Entity& entity, int depth, int maxDepth, View view, Child child) {
    const EntityView v = view(entity);
    if (depth > maxDepth) {
        out << "...";
        return;
    }
    switch (v.hasType ? v.type : 0) {
        case 1:
            out << quoteText(v.stringValue.value_or(""));
            return;
        case 2:
            out << (v.hasNumber ? numberText(v.number) : "NaN");
            return;
        case 3:
            out << ((v.hasBoolean && v.boolean) ? "true" : "false");
            return;
        case 4: {
            out << '(';
            if (!v.name) {
                out << '?';
            } else if (const char* mnemonic = mnemonicForCode(*v.name)) {
                out << mnemonic;
            } else if (!v.name->empty() && v.name->find_first_not_of("0123456789") == std::string::npos) {
                out << *v.name;
            } else {
                out << quoteText(*v.name);
            }
            for (std::size_t i = 0; i < v.count; ++i) {
                out << ' ';
                write(out, child(entity, i), depth + 1, maxDepth, view, child);
            }
            out << ')';
            return;
        }
        default:
            out << '?' << (v.hasType ? v.type : 0);
    }
}

std::optional<std::string> bytesText(const pb_bytes_array_t* bytes) {
    if (!bytes) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size);
}

EntityView viewOf(const nano_APMPBRuntimeEntity& e) {
    return {e.has_type, e.type, bytesText(e.name), bytesText(e.string_value), e.has_boolean_value,
            e.boolean_value, e.has_number_value, e.number_value, e.entities_count};
}

EntityView viewOf(const EntityNode& e) {
    return {e.type.has_value(), e.type.value_or(0), e.name, e.stringValue, e.booleanValue.has_value(),
            e.booleanValue.value_or(false), e.numberValue.has_value(), e.numberValue.value_or(0),
            e.entities.size()};
}

}  // namespace

AssemblyResult assemble(std::string_view text) { return Parser(text).run(); }

std::string quoteText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::vector<std::uint8_t> encodeEntity(const EntityNode& entity) {
    std::vector<std::uint8_t> out;
    if (entity.type) {
        putKey(out, 1, 0);
        putVarint(out, *entity.type);
    }
    for (const auto& child : entity.entities) putMessage(out, 2, encodeEntity(child));
    if (entity.name) putString(out, 3, *entity.name);
    if (entity.stringValue) putString(out, 4, *entity.stringValue);
    if (entity.booleanValue) {
        putKey(out, 5, 0);
        putVarint(out, *entity.booleanValue ? 1 : 0);
    }
    if (entity.numberValue) {
        putKey(out, 6, 1);
        std::uint64_t bits = 0;
        std::memcpy(&bits, &*entity.numberValue, sizeof bits);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    return out;
}

std::vector<std::uint8_t> encodeProgram(const ProgramNode& program) {
    std::vector<std::uint8_t> out;
    for (const auto& statement : program.statements) putMessage(out, 1, encodeEntity(statement));
    if (program.activities) {
        std::vector<std::uint8_t> activities;
        for (const auto& activity : *program.activities) putMessage(activities, 1, encodeActivity(activity));
        putMessage(out, 2, activities);
    }
    return out;
}

std::string disassemble(const nano_APMPBRuntimeEntity& entity, int maxDepth) {
    std::ostringstream out;
    write(out, entity, 0, maxDepth, [](const nano_APMPBRuntimeEntity& e) { return viewOf(e); },
          [](const nano_APMPBRuntimeEntity& e, std::size_t i) -> const nano_APMPBRuntimeEntity& { return e.entities[i]; });
    return out.str();
}

std::string disassemble(const EntityNode& entity, int maxDepth) {
    std::ostringstream out;
    write(out, entity, 0, maxDepth, [](const EntityNode& e) { return viewOf(e); },
          [](const EntityNode& e, std::size_t i) -> const EntityNode& { return e.entities[i]; });
    return out.str();
}

std::string disassemble(const nano_APMPBProgram& program, int maxDepth) {
    std::string out;
    for (pb_size_t i = 0; i < program.statements_count; ++i) {
        out += disassemble(program.statements[i], maxDepth);
        out += '\n';
    }
    if (program.activities) {
        for (pb_size_t i = 0; i < program.activities->activity_count; ++i) {
            const auto& activity = program.activities->activity[i];
            out += "[activity " + quoteText(activity.name ? activity.name : "");
            for (pb_size_t j = 0; j < activity.rules_count; ++j) out += ' ' + disassemble(activity.rules[j], maxDepth);
            out += "]\n";
        }
    }
    return out;
}

}  // namespace measurement::script_text
