// `velmora script eval FILE`: runs a script program in a fresh runtime and
// prints the value of its last statement, or the error, with the number of
// evaluations used.

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "measurement/script/testing/program_text.h"
#include "measurement/script/testing/script_runner.h"
#include "tools/command_registry.h"

namespace tools {

namespace {

struct ScriptEvalOptions {
    std::string file;
    bool text = false;
};

int evalScript(const ScriptEvalOptions& options) {
    std::ifstream in(options.file, std::ios::binary);
    if (!in) {
        std::cerr << "script: cannot read " << options.file << "\n";
        return 2;
    }
    const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
    if (options.text) {
        const auto assembled = measurement::testing::assemble(contents);
        if (!assembled.ok()) {
            std::cerr << "script: " << options.file << ": " << assembled.error << "\n";
            return 2;
        }
        bytes = measurement::testing::encodeProgram(assembled.program);
    }
    const auto result = measurement::testing::runProgramBytes(bytes);
    if (result.error) {
        std::cout << "error: " << result.error.domain << " " << result.error.code << "\n";
    } else {
        std::cout << result.value << "\n";
    }
    std::cout << "evaluations: " << result.evaluations << "\n";
    return result.error ? 1 : 0;
}

const CommandRegistration registration([](CLI::App& app, int& status) {
    auto* script = app.add_subcommand("script", "Run measurement script programs");
    script->require_subcommand(1);
    auto options = std::make_shared<ScriptEvalOptions>();
    auto* eval = script->add_subcommand(
        "eval", "Run a program (an encoded nano_APMPBProgram, or its text form with --text) and print its value");
    eval->add_option("FILE", options->file, "the program")->required();
    eval->add_flag("--text", options->text, "read the assembler's text form");
    eval->callback([options, &status] { status = evalScript(*options); });
});

}  // namespace

}  // namespace tools
