#pragma once

#include <CLI/CLI.hpp>

namespace tools {

// Each subcommand adds itself to the application. Its callback sets the
// process exit status through the returned reference.
// (One declaration per subcommand file.)

}  // namespace tools
