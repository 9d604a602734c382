#pragma once

// How the subcommands of the velmora tool register themselves.

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <vector>

#include "platform/foundation/launch_options.h"

namespace tools {

// A subcommand of the `velmora` tool. Each lives in its own tools/cmd_*.cpp
// and adds itself with a file-scope CommandRegistration. The setup function
// adds the subcommand to the application; its callback writes the process
// exit status into `status`. `launch` holds what main read from the
// environment, and lives as long as the command runs.
using CommandSetup = std::function<void(CLI::App& app, int& status, const platform::LaunchOptions& launch)>;

struct CommandRegistration {
    explicit CommandRegistration(CommandSetup setup);
};

std::vector<CommandSetup>& registeredCommands();

// A subcommand that runs in a program of its own beside this one: the
// program that gets the command line hands it over whole (exec), so that a
// one-shot measurement command does not load what the application's pages
// or the collector's server need.
struct Handover {
    const char* command;
    const char* program;  // its file name, in this program's folder
    const char* summary;  // what `velmora --help` lists
};

struct HandoverRegistration {
    explicit HandoverRegistration(Handover handover);
};

std::vector<Handover>& registeredHandovers();

// Runs the program a handed-over command belongs to, in place of this one,
// when the command line names one; returns only when it does not, or with
// the status to exit with when the program cannot be started.
std::optional<int> handOverIfAsked(int argc, char** argv);

}  // namespace tools
