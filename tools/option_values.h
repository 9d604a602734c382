#pragma once

// Option values read as a person means them, and the one way every program
// of the tool ends on a command line it cannot read: status 2, naming the
// command, the option or word, the value given and what it must be.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

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

// Takes any value but the empty one, which names no file or folder: refused
// with "an empty value names nothing: give <what>".
CLI::Validator pathGiven(const std::string& what);

// The status a parse that failed ends the program with, its message
// written. Help ends it as the parser has it, and a refusal a command has
// already said (CLI::RuntimeError) with its own status. Every other error
// is a command line that cannot be read: status 2 and "<command>: <what
// is wrong and what it must be>", naming the command the parse reached and
// the option or word concerned.
int exitForParseError(const CLI::App& app, const CLI::ParseError& error);

}  // namespace tools
