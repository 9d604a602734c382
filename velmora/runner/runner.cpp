// Reading and playing the runner's commands.
#include "velmora/runner/runner.h"

#include <istream>
#include <ostream>
#include <string_view>

#include "platform/dispatch/main_loop_turn.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/value_text.h"

namespace velmora::runner {

namespace {

// What follows the command's name, as one text, read as the words are:
// double quotes group what they hold and are no part of it ("Next"#x is
// Next#x), and the spaces between words stay as written.
std::string restOf(const std::string& line, const std::string& name) {
    std::string rest = trimmed(line.substr(name.size()));
    std::erase(rest, '"');
    return rest;
}

// The UTF-8 byte-order mark some editors put before a file's first line:
// no part of the first command.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

Runner::Runner(AppSession& session, CommandTable table, std::ostream& out)
    : session_(session), table_(std::move(table)), out_(out) {}

bool Runner::execute(const std::string& rawLine) {
    const std::string line = trimmed(withoutNote(rawLine));
    if (line.empty()) return !session_.hasQuit();
    auto words = splitWords(line);
    const std::string name = words.front();
    words.erase(words.begin());
    const RunnerCommand* command = table_.find(name);
    {
        // One command is one action of the person, and with what it sets
        // off one turn of the main loop: the preferences it changes are
        // written once, when it ends, before the next command is read.
        platform::dispatch::MainLoopTurn turn;
        if (!command) {
            out_ << "unknown command \"" << name << "\"; help lists the commands\n";
            ++failures_;
        } else if (name == "help" && !command->run) {
            out_ << table_.help();
        } else {
            CommandContext context{session_, out_};
            if (!command->run(context, CommandArguments{words, restOf(line, name)})) ++failures_;
        }
        if (!session_.hasQuit()) session_.settle();
    }
    printConsole();
    out_.flush();
    return !session_.hasQuit();
}

void Runner::printConsole() {
    for (const auto& notice : session_.takeNotices()) out_ << notice << "\n";
    for (const auto& line : session_.takeConsoleLines()) out_ << "console: " << line << "\n";
}

void Runner::run(std::istream& in, bool echo, bool prompt) {
    printConsole();
    std::string line;
    for (bool first = true;; first = false) {
        if (prompt) out_ << "velmora> " << std::flush;
        if (!std::getline(in, line)) break;
        if (first && line.starts_with(kByteOrderMark)) line.erase(0, kByteOrderMark.size());
        if (echo && !trimmed(line).empty()) out_ << "> " << trimmed(line) << "\n";
        if (!execute(line)) return;
    }
    if (prompt) out_ << "\n";
    if (!session_.hasQuit()) execute("quit");
}

}  // namespace velmora::runner
