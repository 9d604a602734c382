#pragma once

// How the subcommands of the velmora tool register themselves.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <functional>
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

// The data folder of a command given none: the launch options', else
// "velmora" under the user's data home, which holds "Application Support"
// and "Preferences" as the platform defaults do.
std::filesystem::path defaultDataFolder(const platform::LaunchOptions& launch);

}  // namespace tools
