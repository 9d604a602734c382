// Option values read as a person means them, and a command line the parser
// cannot read said in the tool's words.
#include "tools/option_values.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "measurement/foundation/printable_text.h"

namespace tools {

namespace {

// A command the parse reached, "velmora analytics purchase", with its name.
struct Reached {
    std::string name;
    const CLI::App* command;
};

// The commands the parse reached, from the tool itself to the last.
std::vector<Reached> commandsReached(const CLI::App& app) {
    std::vector<Reached> chain{{"velmora", &app}};
    for (auto subcommands = app.get_subcommands(); !subcommands.empty();
         subcommands = chain.back().command->get_subcommands()) {
        chain.push_back({chain.back().name + " " + subcommands.front()->get_name(), subcommands.front()});
    }
    return chain;
}

// The option of that name on the command or one of those around it.
const CLI::Option* optionNamed(const CLI::App* command, const std::string& name) {
    for (; command; command = command->get_parent()) {
        if (const auto* option = command->get_option_no_throw(name)) return option;
    }
    return nullptr;
}

// The parser's "Could not convert: --json = abc" as what a person reads.
std::string conversionMessage(const CLI::App* command, const std::string& message) {
    const std::string prefix = "Could not convert: ";
    const auto equals = message.find(" = ");
    if (message.rfind(prefix, 0) != 0 || equals == std::string::npos) return message;
    const std::string name = message.substr(prefix.size(), equals - prefix.size());
    const std::string value = message.substr(equals + 3);
    const auto* option = optionNamed(command, name);
    if (option && option->get_expected_max() == 0) {
        return name + ": \"" + value + "\" cannot be read: " + name + " is a flag, given alone (or as " + name +
               "=true or " + name + "=false)";
    }
    return name + ": \"" + value + "\" cannot be read" +
           (option && !option->get_type_name().empty() ? " as " + option->get_type_name() : std::string());
}

// "a, b or c".
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
    }
    return text;
}

std::vector<std::string> subcommandNames(const CLI::App* command) {
    std::vector<std::string> names;
    for (const auto* subcommand : command->get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(subcommand->get_name());
    }
    return names;
}

// The options of the command as given ("--data", "--data-dir"), or its
// words (positional options) by their names.
std::vector<std::string> optionNames(const CLI::App* command, bool positional) {
    std::vector<std::string> names;
    for (const auto* option : command->get_options()) {
        if (option->nonpositional() == positional) continue;
        if (positional) names.push_back(option->get_name());
        for (const auto& name : option->get_lnames()) names.push_back("--" + name);
    }
    return names;
}

// What a word the parser could place nowhere is not, and what the command
// takes instead: an option, a command, or a word too many.
std::string unplacedWord(const Reached& at, const std::string& word) {
    if (word.size() > 1 && word[0] == '-') {
        return word.substr(0, word.find('=')) + " is no option of " + at.name + ": it takes " +
               listed(optionNames(at.command, false));
    }
    const auto commands = subcommandNames(at.command);
    if (!commands.empty()) return "\"" + word + "\" is no command of " + at.name + ": give " + listed(commands);
    const auto words = optionNames(at.command, true);
    const std::string takes = words.empty() ? "no words" : "only " + listed(words);
    return "\"" + word + "\" is a word too many: " + at.name + " takes " + takes + " beside its options";
}

// The option that begins the parser's message ("--p: At Most 1 ..."), and
// its help text.
std::pair<std::string, std::string> optionOfMessage(const CLI::App* command, const std::string& message,
                                                    const std::string& end) {
    const std::string name = message.substr(0, message.find(end));
    const auto* option = optionNamed(command, name);
    return {name, option ? option->get_description() : std::string()};
}

// The parser's error for a command that needs one of its own commands.
bool isMissingCommand(const CLI::ParseError& error) {
    return dynamic_cast<const CLI::RequiredError*>(&error) && std::string(error.what()).rfind("A subcommand", 0) == 0;
}

// A command, option or word that must be given and was not.
std::string requiredMessage(const CLI::App* command, const std::string& message) {
    if (message.rfind("A subcommand", 0) == 0) return "a command is missing: give " + listed(subcommandNames(command));
    const auto [name, help] = optionOfMessage(command, message, " is required");
    return name + " is required" + (help.empty() ? std::string() : ": " + help);
}

// An option given more often than once, or without its value.
std::string mismatchMessage(const CLI::App* command, const std::string& message) {
    const auto [name, help] = optionOfMessage(command, message, ":");
    if (message.find("At Most") != std::string::npos) return name + " is given more than once: give it once";
    return name + " needs a value" + (help.empty() ? std::string() : ": " + help);
}

// "A requires B" and "A excludes B", of options or commands.
std::optional<std::string> relationMessage(const std::string& message) {
    for (const auto& [parserWord, ours] : {std::pair<std::string, std::string>{" requires ", " needs "},
                                           {" excludes ", " cannot be given with "}}) {
        const auto at = message.find(parserWord);
        if (at == std::string::npos) continue;
        return message.substr(0, at) + ours + message.substr(at + parserWord.size()) +
               (parserWord == " requires " ? " as well" : "");
    }
    return std::nullopt;
}

// The parser's own error, other than a word it could not place, in the
// tool's words.
std::string parserMessage(const CLI::App* command, const CLI::ParseError& error) {
    const std::string message = error.what();
    if (dynamic_cast<const CLI::ConversionError*>(&error)) return conversionMessage(command, message);
    if (dynamic_cast<const CLI::ValidationError*>(&error)) return message;
    if (dynamic_cast<const CLI::RequiredError*>(&error)) return requiredMessage(command, message);
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) return mismatchMessage(command, message);
    return relationMessage(message).value_or("the command line cannot be read: " + message);
}

// Says the first word the parser could place nowhere, with the command it
// was reading; false when there is none.
bool saidUnplacedWord(const std::vector<Reached>& chain) {
    for (const auto& at : chain) {
        const auto words = at.command->remaining(false);
        if (words.empty()) continue;
        sayError(at.name, unplacedWord(at, words.front()));
        return true;
    }
    return false;
}

// The checks of the commands' words, by command.
std::map<const CLI::App*, WordsCheck>& wordsChecks() {
    static std::map<const CLI::App*, WordsCheck> checks;
    return checks;
}

// Says what the check of a command the parse reached refuses; false when
// each takes its words. A check that ends the command itself (refuse(),
// for a file or folder it names) has said why.
bool saidRefusedWords(const std::vector<Reached>& chain) {
    for (const auto& at : chain) {
        const auto check = wordsChecks().find(at.command);
        if (check == wordsChecks().end()) continue;
        try {
            if (const auto why = check->second()) {
                sayError(at.name, *why);
                return true;
            }
        } catch (const CLI::RuntimeError&) {
            return true;
        }
    }
    return false;
}

// "velmora analytics log", from the command up to the tool.
std::string commandName(const CLI::App& command) {
    const auto* parent = command.get_parent();
    return parent ? commandName(*parent) + " " + command.get_name() : "velmora";
}

}  // namespace

std::optional<std::int64_t> readWholeNumber(const std::string& text) {
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

CLI::Validator wholeNumber(std::int64_t least, std::int64_t most, const std::string& meaning) {
    const std::string range = std::to_string(least) + " to " + std::to_string(most);
    const std::string what = meaning.empty() ? "a whole number from " + range : meaning;
    return CLI::Validator(
        [least, most, what](std::string& text) {
            const auto number = readWholeNumber(text);
            if (!number || *number < least || *number > most) return "\"" + text + "\" is not " + what;
            text = std::to_string(*number);
            return std::string();
        },
        range);
}

std::optional<PointSize> readPointSize(const std::string& text, double least, double most) {
    const auto x = text.find('x');
    if (x == std::string::npos) return std::nullopt;
    auto number = [&](const std::string& part) -> std::optional<double> {
        const auto point = part.find('.');
        const bool digits = !part.empty() && part.front() != '.' && part.back() != '.' &&
                            part.find_first_not_of("0123456789.") == std::string::npos &&
                            (point == std::string::npos || part.find('.', point + 1) == std::string::npos);
        double value = 0;
        if (!digits || std::from_chars(part.data(), part.data() + part.size(), value).ec != std::errc() ||
            value < least || value > most) {
            return std::nullopt;
        }
        return value;
    };
    const auto width = number(text.substr(0, x));
    const auto height = number(text.substr(x + 1));
    if (!width || !height) return std::nullopt;
    return PointSize{*width, *height};
}

CLI::Validator pointSize(double least, double most, const std::string& example) {
    auto shown = [](double bound) {
        std::ostringstream text;
        text << bound;
        return text.str();
    };
    const std::string range = shown(least) + " to " + shown(most) + " each";
    return CLI::Validator(
        [least, most, range, example](std::string& text) {
            if (readPointSize(text, least, most)) return std::string();
            return "\"" + text + "\" is not WIDTHxHEIGHT in points, " + range + " (such as " + example + ")";
        },
        "WIDTHxHEIGHT");
}

CLI::Validator oneOf(const std::vector<std::string>& words) {
    return CLI::Validator(
        [words, what = listed(words)](std::string& text) {
            if (std::find(words.begin(), words.end(), text) != words.end()) return std::string();
            return "\"" + text + "\" is not " + what;
        },
        listed(words));
}

void refuseRepeatedFlags(CLI::App& command) {
    for (auto* option : command.get_options()) {
        // Help stays help, however often asked for.
        if (option == command.get_help_ptr() || option->get_expected_max() != 0) continue;
        option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
    for (auto* subcommand : command.get_subcommands([](CLI::App*) { return true; })) refuseRepeatedFlags(*subcommand);
}

CLI::Validator pathGiven(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) {
            return text.empty() ? "an empty value names nothing: give " + what : std::string();
        },
        std::string());
}

void runCheckedWords(CLI::App& command, WordsCheck check, std::function<void()> run) {
    wordsChecks()[&command] = check;
    command.callback([&command, check = std::move(check), run = std::move(run)] {
        if (const auto why = check()) {
            sayError(commandName(command), *why);
            throw CLI::RuntimeError(2);
        }
        run();
    });
}

void sayError(const std::string& command, const std::string& reason) {
    std::cerr << command << ": " << measurement::printable(reason) << '\n';
}

std::string reachedCommandName(const CLI::App& app) { return commandsReached(app).back().name; }

int exitForParseError(const CLI::App& app, const CLI::ParseError& error) {
    if (dynamic_cast<const CLI::RuntimeError*>(&error)) return app.exit(error);
    const auto chain = commandsReached(app);
    // A word the parser could not place stays with the command it was
    // reading; it is what went wrong, whatever else the parser found, help
    // asked for too: help answers a command line that reads otherwise, as
    // one with an option given twice is refused before its help.
    if (saidUnplacedWord(chain)) return 2;
    if (dynamic_cast<const CLI::Success*>(&error)) return saidRefusedWords(chain) ? 2 : app.exit(error);
    sayError(chain.back().name, parserMessage(chain.back().command, error));
    // A command left out: its commands with what each does, as help has them.
    if (isMissingCommand(error)) std::cerr << '\n' << chain.back().command->help();
    return 2;
}

}  // namespace tools
