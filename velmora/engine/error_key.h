#pragma once

#include <optional>
#include <string>
#include <vector>

// Error keys: a localisation key, optionally followed by its arguments, each
// introduced by "§" ("mustBeLessThanX§200"). The same key names the field
// error and its message; "%0" and "%1" of the message take the arguments.
namespace velmora {

struct ErrorKey {
    std::string key;
    std::vector<std::string> arguments;
};

// Split at "§" with empty pieces dropped; absent when nothing is left.
std::optional<ErrorKey> parseErrorKey(const std::string& errorKey);
std::string makeErrorKey(const std::string& key, const std::vector<std::string>& arguments = {});

// How the user is told about a key.
struct ErrorPresentation {
    enum class Kind { toast, alert };
    Kind kind = Kind::toast;
    std::string title;    // alerts only
    std::string message;
};

// The message of a key with its arguments filled in. Absent when the key
// shows nothing: no key at all, or a bound key ("mustBeLessThanX" and its
// kin) without exactly the arguments it needs.
std::optional<ErrorPresentation> presentationForErrorKey(const std::string& errorKey);

}  // namespace velmora
