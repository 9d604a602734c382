// What a command says, as it ends, of the preferences it could not keep.
#include "tools/kept_preferences.h"

#include <iostream>

#include "platform/foundation/user_defaults.h"

namespace tools {

int reportUnkeptPreferences(const std::string& command, int status) {
    if (status != 0) return status;
    const auto unsaved = platform::UserDefaults::unsavedSuites();
    if (unsaved.empty()) return status;
    std::cerr << command << ": the preferences of this run could not be kept, so the next start will not find them: "
              << unsaved.front().why;
    if (unsaved.size() > 1) std::cerr << " (and " << unsaved.size() - 1 << " more suite files)";
    std::cerr << '\n';
    return 1;
}

}  // namespace tools
