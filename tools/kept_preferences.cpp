// What a command says, as it ends, of the preferences it could not keep.
#include "tools/kept_preferences.h"

#include "platform/foundation/user_defaults.h"
#include "tools/option_values.h"

namespace tools {

int reportUnkeptPreferences(const std::string& command, int status) {
    if (status != 0) return status;
    const auto unsaved = platform::UserDefaults::unsavedSuites();
    if (unsaved.empty()) return status;
    std::string reason = "the preferences of this run could not be kept, so the next start will not find them: " +
                         unsaved.front().why;
    if (unsaved.size() > 1) reason += " (and " + std::to_string(unsaved.size() - 1) + " more suite files)";
    sayError(command, reason);
    return 1;
}

}  // namespace tools
