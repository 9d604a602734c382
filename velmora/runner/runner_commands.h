// The runner's command table: each command's name, arguments, help and work.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace velmora::runner {

class AppSession;

// The words of a command line after the command's name. Double quotes group
// words ("Rate this app"); `rest` is everything after the name, trimmed and
// without surrounding quotes, for commands that take one text.
struct CommandArguments {
    std::vector<std::string> words;
    std::string rest;
};

// A command gets the session and where to write. It answers false when it
// could not do what was asked; it has then written why, in one line.
struct CommandContext {
    AppSession& session;
    std::ostream& out;
};

struct RunnerCommand {
    std::string name;
    std::string arguments;  // as shown in the help: "S R", "TITLE|ID"
    std::string help;
    std::function<bool(CommandContext&, const CommandArguments&)> run;
};

// The commands a runner knows. A command added with the name of one it has
// takes its place, so a tool can add or replace commands without touching
// the built-in ones.
class CommandTable {
public:
    // The built-in commands.
    CommandTable();

    void add(RunnerCommand command);
    const RunnerCommand* find(const std::string& name) const;
    const std::vector<RunnerCommand>& commands() const { return commands_; }
    // Every command with its arguments and help, one a line.
    std::string help() const;

private:
    std::vector<RunnerCommand> commands_;
};

// The built-in commands, in the order the help lists them.
std::vector<RunnerCommand> builtInCommands();

// Splits a line into words, double quotes grouping; a quote left open runs
// to the end of the line.
std::vector<std::string> splitWords(const std::string& line);
// The line before its note: outside double quotes, a "#" that begins a word
// starts a note running to the end of the line ("alert Accept  # the
// consent alert"), so a line that begins with one is all note. A "#" within
// a word ("bern://open#top") or within quotes ("tap \"No. #3\"") is text.
std::string withoutNote(const std::string& line);
// "+5s", "+2m", "+1h", "+500ms", "+1.5" (seconds): the seconds to move the
// clock by; none for anything else, for a negative or a non-finite number.
std::optional<double> parseDuration(const std::string& text);

}  // namespace velmora::runner
