#pragma once

// The readable text form of programs, for the tools and the tests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/messages.h"

namespace measurement::script_text {

// A program entity as plain data, every field optional as on the wire.
struct EntityNode {
    std::optional<std::uint32_t> type;
    std::vector<EntityNode> entities;
    std::optional<std::string> name;
    std::optional<std::string> stringValue;
    std::optional<bool> booleanValue;
    std::optional<double> numberValue;

    static EntityNode string(std::string text);
    static EntityNode number(double value);
    static EntityNode boolean(bool value);
    static EntityNode statement(std::string name, std::vector<EntityNode> arguments = {});
};

struct ActivityNode {
    std::optional<std::string> name;
    std::vector<EntityNode> rules;
};

struct ProgramNode {
    std::vector<EntityNode> statements;
    std::optional<std::vector<ActivityNode>> activities;
};

// The readable text form of programs.
//
//   program   := item*
//   item      := entity | "[" "activity" STRING entity* "]"
//   entity    := NUMBER | STRING | true | false | null | undefined
//              | "$" NAME                      read variable: (get "NAME")
//              | "(" head entity* ")"          statement
//              | "?" DIGITS                    entity of that type, nothing else
//   head      := MNEMONIC | DIGITS | STRING | "?" (a statement without name)
//
// Numbers include NaN, Infinity and -Infinity; strings take the escapes
// \" \\ \n \r \t and \uXXXX. Mnemonics name the command codes ("add" is
// "0", "if" is "22", see kMnemonics); a string head calls that function.
// ";" starts a comment to the end of the line.
struct AssemblyResult {
    ProgramNode program;
    std::string error;  // empty on success, else "line N: what"
    bool ok() const { return error.empty(); }
};
AssemblyResult assemble(std::string_view text);

struct Mnemonic {
    const char* name;
    const char* code;
};
extern const std::vector<Mnemonic> kMnemonics;
// The code of a mnemonic, or nullptr.
const char* codeForMnemonic(std::string_view name);
const char* mnemonicForCode(std::string_view code);

// Protocol-buffer encodings (written here by hand, independently of the
// decoder under test).
std::vector<std::uint8_t> encodeEntity(const EntityNode& entity);
std::vector<std::uint8_t> encodeProgram(const ProgramNode& program);

// Text in double quotes with \" \\ \n \r \t and \uXXXX escapes for other
// control characters.
std::string quoteText(std::string_view utf8);

// Text form of decoded messages, for failure messages. Nesting beyond
// maxDepth is shown as "...".
std::string disassemble(const nano_APMPBRuntimeEntity& entity, int maxDepth = 64);
std::string disassemble(const nano_APMPBProgram& program, int maxDepth = 64);
std::string disassemble(const EntityNode& entity, int maxDepth = 64);

}  // namespace measurement::script_text
