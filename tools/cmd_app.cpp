// `velmora app`: the application on the platform stand-in, driven by a
// script or at a prompt; what it shows printed as text.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "tools/command_registry.h"
#include "tools/command_summaries.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/runner.h"

namespace {

struct AppOptions {
    std::string script;
    std::string dataDirectory;
    std::string language;
    std::string remoteConfig;
    std::string installedSchemes;
    std::string screen;
    std::string style;
    std::string openURL;
};

std::vector<std::string> commaList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// "390x844" in points; none for anything else.
std::optional<platform::gfx::Size> screenSize(const std::string& text) {
    const auto x = text.find('x');
    if (x == std::string::npos) return std::nullopt;
    try {
        std::size_t usedW = 0, usedH = 0;
        const double w = std::stod(text.substr(0, x), &usedW);
        const double h = std::stod(text.substr(x + 1), &usedH);
        if (usedW != x || usedH != text.size() - x - 1 || !(w >= 100 && w <= 4096) || !(h >= 100 && h <= 4096)) {
            return std::nullopt;
        }
        return platform::gfx::Size{w, h};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int runApp(const AppOptions& options) {
    velmora::runner::SessionOptions session;
    session.dataDirectory = options.dataDirectory;
    session.language = options.language;
    session.remoteConfigSource = options.remoteConfig;
    // An address names a service; anything else names a file, which must be
    // there, whether the option or the environment gave it.
    const bool fromOption = !options.remoteConfig.empty();
    const std::string source =
        fromOption ? options.remoteConfig : platform::LaunchOptions::current().remoteConfigSource.value_or("");
    if (!source.empty() && source.find("://") == std::string::npos && !std::filesystem::is_regular_file(source)) {
        std::cerr << "velmora app: " << (fromOption ? "--remote-config" : "$VELMORA_REMOTE_CONFIG_SOURCE")
                  << " names no file: " << source << " (give a file or a loopback http address)\n";
        return 2;
    }
    session.installedSchemes = commaList(options.installedSchemes);
    if (!options.screen.empty()) {
        session.screenSize = screenSize(options.screen);
        if (!session.screenSize) {
            std::cerr << "velmora app: --screen takes WIDTHxHEIGHT in points, 100 to 4096 each (390x844)\n";
            return 2;
        }
    }
    if (!options.style.empty() && options.style != "dark" && options.style != "light") {
        std::cerr << "velmora app: --style takes dark or light\n";
        return 2;
    }
    session.darkStyle = options.style == "dark";
    session.launchURL = options.openURL;
    std::ifstream script;
    if (!options.script.empty()) {
        script.open(options.script);
        if (!script) {
            std::cerr << "velmora app: cannot read the script " << options.script << "\n";
            return 2;
        }
    }
    // English is the only language the interface has: say so rather than
    // let another language look accepted.
    if (auto notice = velmora::runner::languageNotice(options.language)) std::cout << "--lang: " << *notice << "\n";
    velmora::runner::AppSession app(session);
    velmora::runner::Runner runner(app, velmora::runner::CommandTable(), std::cout);
    app.launch();
    const bool interactive = options.script.empty() && isatty(STDIN_FILENO);
    if (options.script.empty()) {
        runner.run(std::cin, !interactive, interactive);
    } else {
        runner.run(script, true, false);
    }
    return 0;
}

std::string commandHelp() {
    return "Starts the application on the platform stand-in and drives it with the commands of the script, or\n"
           "of a prompt when there is none. The clock moves only with the clock command, and goes on where the\n"
           "last run on the same data folder left it. Commands:\n" +
           velmora::runner::CommandTable().help();
}

const tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions&) {
    auto options = std::make_shared<AppOptions>();
    auto* command = app.add_subcommand("app", tools::summaries::kApp);
    command->footer(commandHelp());
    command->add_option("--script", options->script, "Commands to play, one a line (\"#\" starts a comment)");
    command->add_option("--data,--data-dir", options->dataDirectory,
                        "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)");
    command->add_option("--lang", options->language,
                        "The device's language or locale (de, fr_FR); the interface's texts are English only");
    command->add_option("--remote-config", options->remoteConfig,
                        "Remote configuration source: a file or a loopback http address "
                        "(default: $VELMORA_REMOTE_CONFIG_SOURCE, else none)");
    command->add_option("--installed-schemes", options->installedSchemes,
                        "Address schemes of installed applications, comma separated (velmora-mathsuite-pro)");
    command->add_option("--screen", options->screen, "Screen size in points, WIDTHxHEIGHT (default 390x844)");
    command->add_option("--style", options->style, "Interface style: dark or light (default light)");
    command->add_option("--open-url", options->openURL,
                        "Launch the application with this link, as the system hands it over in the launch options");
    command->callback([options, &status] { status = runApp(*options); });
});

}  // namespace
