// The document a remote-configuration source serves: {"entries": {"<key>": <value>, ...}}.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The key's text by key. A string value is the key's text as it stands (so
// a source can serve text that is no valid JSON); any other value, objects
// and arrays included, becomes its compact JSON text with its members in
// the order written. Members of the document beside "entries" are ignored.
using RemoteValues = std::map<std::string, std::string>;

// None, with a one-line reason in *error, when the text is no JSON object
// with an "entries" object.
std::optional<RemoteValues> parseRemoteValuesDocument(std::string_view text, std::string* error = nullptr);

}  // namespace platform
