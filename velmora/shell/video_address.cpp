// Parsing video tutorial addresses into what the embedded player loads.
#include "velmora/shell/video_address.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace velmora {

namespace {

constexpr std::size_t kVideoIdLength = 11;

std::string watchPrefix() { return std::string("https://") + kVideoSiteHost + "/watch?v="; }
std::string shortsPrefix() { return std::string("https://") + kVideoSiteHost + "/shorts/"; }

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::vector<std::string> nonEmptyPieces(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t to = text.find(separator, from);
        if (to == std::string::npos) to = text.size();
        if (to > from) pieces.push_back(text.substr(from, to - from));
        from = to + 1;
    }
    return pieces;
}

// "t=<digits>s": the digits, when they are a whole number of seconds that
// fits a 64-bit integer. Only digits reach the player.
std::optional<std::string> startSeconds(const std::string& piece) {
    if (piece.size() < 4 || !startsWith(piece, "t=") || piece.back() != 's') return std::nullopt;
    std::string digits = piece.substr(2, piece.size() - 3);
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::int64_t seconds = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return digits;
}

platform::Value::Dictionary basePlayerVars() { return {{"iv_load_policy", platform::Value(1)}}; }

}  // namespace

bool isValidVideoId(const std::string& text) {
    if (text.size() != kVideoIdLength) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::optional<VideoRequest> parseWatchVideo(const std::string& rest) {
    auto pieces = nonEmptyPieces(rest, '&');
    std::string videoId = pieces.empty() ? std::string() : pieces.front();
    if (!isValidVideoId(videoId)) return std::nullopt;
    VideoRequest request{videoId, basePlayerVars()};
    if (auto start = startSeconds(pieces.back())) request.playerVars["start"] = platform::Value(*start);
    return request;
}

std::optional<VideoRequest> parseShortsVideo(const std::string& rest) {
    if (!isValidVideoId(rest)) return std::nullopt;
    return VideoRequest{rest, basePlayerVars()};
}

std::optional<VideoRequest> parseVideoAddress(const std::string& address) {
    if (startsWith(address, watchPrefix())) return parseWatchVideo(address.substr(watchPrefix().size()));
    if (startsWith(address, shortsPrefix())) return parseShortsVideo(address.substr(shortsPrefix().size()));
    return std::nullopt;
}

}  // namespace velmora
