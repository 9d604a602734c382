#include <CLI/CLI.hpp>

#include "tools/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"velmora: the Bernoulli calculator and its measurement engine, headless"};
    app.require_subcommand(0, 1);
    int status = 0;
    (void)status;
    CLI11_PARSE(app, argc, argv);
    if (app.get_subcommands().empty()) {
        std::cout << app.help();
    }
    return status;
}
