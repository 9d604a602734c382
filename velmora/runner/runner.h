// The runner: reads commands from a script or a prompt and plays them on an application session.
#pragma once

#include <iosfwd>
#include <string>

#include "velmora/runner/runner_commands.h"

namespace velmora::runner {

class AppSession;

class Runner {
public:
    Runner(AppSession& session, CommandTable table, std::ostream& out);

    // One line: a command, perhaps with a "#" note after it (withoutNote),
    // or a blank line or a note alone (nothing). An unknown command or one
    // that fails prints why, and the session goes on. Then settles and
    // prints what the application wrote to its console meanwhile
    // ("console: ..."). False once the session has quit.
    bool execute(const std::string& line);

    // Lines until "quit" or the end of the input, which quits too; a
    // byte-order mark before the first is no part of it. With
    // echo each line is printed as "> line" before what it does; with a
    // prompt, "velmora> " is printed before each line is read.
    void run(std::istream& in, bool echo, bool prompt);

    const CommandTable& table() const { return table_; }
    // How many commands failed or were not known.
    int failures() const { return failures_; }

private:
    void printConsole();

    AppSession& session_;
    CommandTable table_;
    std::ostream& out_;
    int failures_ = 0;
};

}  // namespace velmora::runner
