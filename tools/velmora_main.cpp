// The velmora tool's entry point.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "platform/foundation/process_info.h"
#include "tools/command_registry.h"

namespace tools {

std::vector<CommandSetup>& registeredCommands() {
    static std::vector<CommandSetup> commands;
    return commands;
}

CommandRegistration::CommandRegistration(CommandSetup setup) {
    registeredCommands().push_back(std::move(setup));
}

std::filesystem::path defaultDataFolder(const platform::LaunchOptions& launch) {
    return launch.dataFolder.value_or(platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path());
}

}  // namespace tools

namespace {

// Launch arguments of the platform's form, one dash then a capital letter
// ("-VEZArurerudoDebugEnabled"), are for the libraries of the process, which
// read them from ProcessInfo; the command line parser does not see them.
bool isLaunchArgument(const char* argument) {
    return argument[0] == '-' && std::isupper(static_cast<unsigned char>(argument[1])) && argument[2] != '\0';
}

}  // namespace

int main(int argc, char** argv) {
    // The only place the tool reads its environment: the libraries take what
    // they need from these options.
    const auto launch = platform::LaunchOptions::fromVariables(std::getenv);
    platform::LaunchOptions::install(launch);
    platform::ProcessInfo::setArguments(argc, argv);
    std::vector<char*> commandLine;
    for (int i = 0; i < argc; ++i) {
        if (i == 0 || !isLaunchArgument(argv[i])) commandLine.push_back(argv[i]);
    }
    argc = static_cast<int>(commandLine.size());
    argv = commandLine.data();
    CLI::App app{"velmora: the Bernoulli calculator and its measurement engine, headless"};
    app.require_subcommand(0, 1);
    int status = 0;
    for (auto& setup : tools::registeredCommands()) setup(app, status, launch);
    CLI11_PARSE(app, argc, argv);
    if (app.get_subcommands().empty()) {
        std::cout << app.help();
    }
    return status;
}
