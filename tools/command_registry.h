#pragma once

// How the subcommands of the velmora tool register themselves.

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace tools {

// A subcommand of the `velmora` tool. Each lives in its own tools/cmd_*.cpp
// and adds itself with a file-scope CommandRegistration. The setup function
// adds the subcommand to the application; its callback writes the process
// exit status into `status`.
using CommandSetup = std::function<void(CLI::App& app, int& status)>;

struct CommandRegistration {
    explicit CommandRegistration(CommandSetup setup);
};

std::vector<CommandSetup>& registeredCommands();

}  // namespace tools
