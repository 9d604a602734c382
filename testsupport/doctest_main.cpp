// The main of every test executable: the one place a test reads its
// environment, into the launch options its libraries see and the record
// that child runs of the executable take their settings from.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <unistd.h>

#include <cstdlib>

#include "platform/foundation/launch_options.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_environment.h"

int main(int argc, char** argv) {
    testsupport::recordEnvironment(environ);
    // First, so that the temporary folders go after every other exit
    // handler has run.
    testsupport::removeTemporaryFoldersAtExit();
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    doctest::Context context(argc, argv);
    return context.run();
}
