#pragma once

// Links as libcurl's URL interface reads them: whether a text is a URL, its
// normalised form and its query, and the escaping of query values.

#include <optional>
#include <string>

namespace measurement {

struct APMLinkURL {
    // The URL as libcurl writes it back.
    std::string absoluteString;
    // The query as it stands in the URL (still escaped); empty when none.
    std::string query;
};

// None when the text is no absolute URL (a scheme, "://" and what follows).
// Schemes libcurl cannot fetch (an application's own) are accepted.
std::optional<APMLinkURL> APMParseLinkURL(const std::string& text);
// Every byte but letters, digits and "-._~" as %XX.
std::string APMEscapeQueryValue(const std::string& value);

}  // namespace measurement
