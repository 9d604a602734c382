#pragma once

// Option values read as a person means them, and the one way every program
// of the tool ends on a command line it cannot read: status 2, naming the
// command, the option or word, the value given and what it must be.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// A whole number in decimal digits, a minus before a negative one:
// "7", "-3", "010" (ten); not "1.5", "0x10", "1e3", "+7", " 7" or "".
// None for anything else, and for a number outside 64 bits.
std::optional<std::int64_t> readWholeNumber(const std::string& text);

// Takes what readWholeNumber reads, from `least` to `most`, and hands the
// parser the number in plain digits (so that "010" is ten, never an octal
// eight). Anything else is refused with `"<text>" is not <meaning>`, the
// meaning by default "a whole number from <least> to <most>".
CLI::Validator wholeNumber(std::int64_t least, std::int64_t most, const std::string& meaning = {});

// A width and a height in points, "390x844": each a plain decimal number
// ("390", "390.5") from `least` to `most`. None for anything else.
struct PointSize {
    double width = 0;
    double height = 0;
};
std::optional<PointSize> readPointSize(const std::string& text, double least, double most);

// Takes what readPointSize reads; anything else, the empty value too, is
// refused with `"<text>" is not WIDTHxHEIGHT in points, <least> to <most>
// each (such as <example>)`.
CLI::Validator pointSize(double least, double most, const std::string& example);

// Takes one of the words as given; anything else, the empty value too, is
// refused with `"<text>" is not <a>, <b> or <c>`.
CLI::Validator oneOf(const std::vector<std::string>& words);

// Every flag of the command and of the commands beneath it refuses to be
// given more than once, as every option does: "--json --json" is a command
// line written by mistake, not a louder "--json".
void refuseRepeatedFlags(CLI::App& command);

// Takes any value but the empty one, which names no file or folder: refused
// with "an empty value names nothing: give <what>".
CLI::Validator pathGiven(const std::string& what);

// What a command refuses of its words and options taken together, once the
// parser has read them (a key given twice, a link that is no URL), and of
// the files, folders and variables they name (a script that is not there,
// a data folder that cannot serve): the reason, none when it takes them. A
// check may end the command itself, as refuse() does. It only looks: it
// makes, opens for writing and changes nothing, as it also answers help.
using WordsCheck = std::function<std::optional<std::string>()>;

// Makes `run` the command's callback, run once `check` takes what the
// command line gave; what it refuses ends the command with status 2 and
// "<command>: <reason>". Help asked for on a line the check refuses is
// refused the same (exitForParseError): help never answers a command line
// the command itself would refuse.
void runCheckedWords(CLI::App& command, WordsCheck check, std::function<void()> run);

// A refusal or a failure as the tool writes it on standard error,
// "<command>: <reason>", on one line: what it quotes from outside (a value
// given, a path, a name) escaped as the engine's log escapes text (control
// characters and bytes that are not UTF-8 as \xHH).
void sayError(const std::string& command, const std::string& reason);

// The status a parse that failed ends the program with, its message
// written. Help ends it as the parser has it on a command line that reads
// otherwise (a word it could not place is refused all the same), and a
// refusal a command has already said (CLI::RuntimeError) with its own
// status; help on words a command's check refuses (runCheckedWords) is
// refused as the command refuses them. Every other error
// is a command line that cannot be read: status 2 and "<command>: <what
// is wrong and what it must be>", naming the command the parse reached and
// the option or word concerned; a command left out is followed by the help
// that lists the commands it has.
int exitForParseError(const CLI::App& app, const CLI::ParseError& error);

// The command the parse reached, for messages: "velmora analytics dump",
// "velmora" when none.
std::string reachedCommandName(const CLI::App& app);

}  // namespace tools
