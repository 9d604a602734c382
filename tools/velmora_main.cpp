#include <CLI/CLI.hpp>

#include <iostream>

#include "tools/command_registry.h"

namespace tools {

std::vector<CommandSetup>& registeredCommands() {
    static std::vector<CommandSetup> commands;
    return commands;
}

CommandRegistration::CommandRegistration(CommandSetup setup) {
    registeredCommands().push_back(std::move(setup));
}

}  // namespace tools

int main(int argc, char** argv) {
    CLI::App app{"velmora: the Bernoulli calculator and its measurement engine, headless"};
    app.require_subcommand(0, 1);
    int status = 0;
    for (auto& setup : tools::registeredCommands()) setup(app, status);
    CLI11_PARSE(app, argc, argv);
    if (app.get_subcommands().empty()) {
        std::cout << app.help();
    }
    return status;
}
