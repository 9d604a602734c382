// The entry point of the velmora programs: `velmora` and the programs it
// hands commands over to.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "platform/foundation/process_info.h"
#include "tools/command_registry.h"
#include "tools/option_values.h"
#include "tools/standard_output.h"
#include "tools/whole_lines.h"

namespace {

// Launch arguments of the platform's form, one dash then a capital letter
// ("-VEZArurerudoDebugEnabled"), are for the libraries of the process, which
// read them from ProcessInfo; the command line parser does not see them.
bool isLaunchArgument(const char* argument) {
    return argument[0] == '-' && std::isupper(static_cast<unsigned char>(argument[1])) && argument[2] != '\0';
}

}  // namespace

namespace tools {

std::vector<CommandSetup>& registeredCommands() {
    static std::vector<CommandSetup> commands;
    return commands;
}

CommandRegistration::CommandRegistration(CommandSetup setup) {
    registeredCommands().push_back(std::move(setup));
}

std::vector<Handover>& registeredHandovers() {
    static std::vector<Handover> handovers;
    return handovers;
}

HandoverRegistration::HandoverRegistration(Handover handover) {
    registeredHandovers().push_back(handover);
}

std::optional<int> handOverIfAsked(int argc, char** argv) {
    int first = 1;
    while (first < argc && isLaunchArgument(argv[first])) ++first;
    if (first >= argc) return std::nullopt;
    for (const auto& handover : registeredHandovers()) {
        if (std::strcmp(argv[first], handover.command) != 0) continue;
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        const auto program = (error ? std::filesystem::path(argv[0]) : self).parent_path() / handover.program;
        // The same words, the program's own name first, so that its help
        // and messages read as this command's.
        ::execv(program.c_str(), argv);
        std::cerr << "velmora: cannot start " << program.string() << " for \"" << handover.command
                  << "\": " << std::strerror(errno) << "\n";
        return 127;
    }
    return std::nullopt;
}

}  // namespace tools

int main(int argc, char** argv) {
    // The engine's threads log while a command says what became of its work.
    tools::writeStandardErrorInWholeLines();
    // What a command prints is its answer: one that did not get out fails it.
    tools::checkStandardOutputWrites();
    if (const auto status = tools::handOverIfAsked(argc, argv)) return *status;
    // The only place the tool reads its environment: the libraries take what
    // they need from these options.
    const auto launch = platform::LaunchOptions::fromVariables(std::getenv);
    // What they quote from the environment is escaped, as every refusal's.
    for (const auto& refusal : launch.refused) tools::sayError("velmora", refusal);
    if (!launch.refused.empty()) return 2;
    platform::LaunchOptions::install(launch);
    platform::ProcessInfo::setArguments(argc, argv);
    std::vector<char*> commandLine;
    for (int i = 0; i < argc; ++i) {
        if (i == 0 || !isLaunchArgument(argv[i])) commandLine.push_back(argv[i]);
    }
    argc = static_cast<int>(commandLine.size());
    argv = commandLine.data();
    CLI::App app{"velmora: the Bernoulli calculator and its measurement engine, headless"};
    // A command is what the tool is run for: none is a usage error, said
    // with the commands there are.
    app.require_subcommand(1);
    int status = 0;
    for (auto& setup : tools::registeredCommands()) setup(app, status, launch);
    for (const auto& handover : tools::registeredHandovers()) app.add_subcommand(handover.command, handover.summary);
    tools::refuseRepeatedFlags(app);
    int ended = 0;
    try {
        app.parse(argc, argv);
        ended = status;
    } catch (const CLI::ParseError& error) {
        ended = tools::exitForParseError(app, error);
    }
    // Help and refusals too: whatever was printed was to be read.
    return tools::finishStandardOutput(tools::reachedCommandName(app), ended);
}
