#include "velmora/engine/error_key.h"

#include "velmora/engine/engine_texts.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

const char* const kSection = "\xC2\xA7";  // "§"

// The keys whose messages take arguments, with how many.
std::optional<std::size_t> argumentCount(const std::string& key) {
    if (key == "mustBeBiggerThanXAndLessThanY") return 2;
    if (key == "mustBeGreatherThanX" || key == "mustBeLessThanX") return 1;
    return std::nullopt;
}

}  // namespace

std::optional<ErrorKey> parseErrorKey(const std::string& errorKey) {
    auto pieces = text::split(errorKey, kSection);
    if (pieces.empty()) return std::nullopt;
    ErrorKey out;
    out.key = pieces.front();
    out.arguments.assign(pieces.begin() + 1, pieces.end());
    return out;
}

std::string makeErrorKey(const std::string& key, const std::vector<std::string>& arguments) {
    std::string out = key;
    for (const auto& argument : arguments) out += kSection + argument;
    return out;
}

std::optional<ErrorPresentation> presentationForErrorKey(const std::string& errorKey) {
    auto parsed = parseErrorKey(errorKey);
    if (!parsed) return std::nullopt;
    ErrorPresentation out;
    out.message = LocalizedString::localized(parsed->key);
    if (parsed->key == "oppositionError") {
        out.kind = ErrorPresentation::Kind::alert;
        out.title = LocalizedString::error();
        return out;
    }
    if (auto count = argumentCount(parsed->key)) {
        if (parsed->arguments.size() != *count) return std::nullopt;
        for (std::size_t i = 0; i < *count; ++i) {
            out.message = text::replaceAll(out.message, "%" + std::to_string(i), parsed->arguments[i]);
        }
    }
    return out;
}

}  // namespace velmora
