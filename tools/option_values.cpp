#include "tools/option_values.h"

#include <algorithm>
#include <charconv>
#include <iostream>

namespace tools {

namespace {

// The commands the parse reached, "velmora analytics purchase", and the
// last of them.
std::pair<std::string, const CLI::App*> commandReached(const CLI::App& app) {
    std::string name = "velmora";
    const CLI::App* at = &app;
    for (auto subcommands = at->get_subcommands(); !subcommands.empty(); subcommands = at->get_subcommands()) {
        at = subcommands.front();
        name += " " + at->get_name();
    }
    return {name, at};
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

int exitForParseError(const CLI::App& app, const CLI::ParseError& error) {
    const bool conversion = dynamic_cast<const CLI::ConversionError*>(&error) != nullptr;
    if (!conversion && !dynamic_cast<const CLI::ValidationError*>(&error)) return app.exit(error);
    const auto [name, command] = commandReached(app);
    const std::string message = conversion ? conversionMessage(command, error.what()) : error.what();
    std::cerr << name << ": " << message << '\n';
    return 2;
}

}  // namespace tools
