// Video tutorial addresses: the watch and shorts forms turned into a video identifier and player variables.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace velmora {

// The video site's host, as remote configuration writes the addresses.
inline constexpr const char* kVideoSiteHost = "videos.velmora.example";

// What the player is asked to load.
struct VideoRequest {
    std::string videoId;
    platform::Value::Dictionary playerVars;  // "iv_load_policy" 1, and "start" (text) when given
    bool operator==(const VideoRequest&) const = default;
};

// "https://<host>/watch?v=<id>[&...][&t=<seconds>s]" or
// "https://<host>/shorts/<id>". None for any other address, an identifier
// that is not 11 characters of letters, digits, "_" and "-", or a shorts
// address with anything after the identifier. A start time is taken only
// from the last piece of a watch address, and only when it is whole seconds.
std::optional<VideoRequest> parseVideoAddress(const std::string& address);
// The part after "watch?v=" and after "shorts/".
std::optional<VideoRequest> parseWatchVideo(const std::string& rest);
std::optional<VideoRequest> parseShortsVideo(const std::string& rest);

bool isValidVideoId(const std::string& text);

}  // namespace velmora
