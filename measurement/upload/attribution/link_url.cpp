// libcurl's URL interface behind the link parsing.
#include "measurement/upload/attribution/link_url.h"

#include "platform/foundation/curl_library.h"

#include <memory>

namespace measurement {

namespace {

struct URLHandleDeleter {
    const platform::CurlLibrary* curl;
    void operator()(CURLU* handle) const { curl->url_cleanup(handle); }
};
using URLHandle = std::unique_ptr<CURLU, URLHandleDeleter>;

std::optional<std::string> part(const platform::CurlLibrary& curl, CURLU* handle, CURLUPart which) {
    char* text = nullptr;
    if (curl.url_get(handle, which, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string copy(text);
    curl.free(text);
    return copy;
}

}  // namespace

std::optional<APMLinkURL> APMParseLinkURL(const std::string& text) {
    if (text.empty()) return std::nullopt;
    // Without the network library no link can be read: it is refused as unreadable.
    const platform::CurlLibrary* curl = platform::curlLibrary();
    if (curl == nullptr) return std::nullopt;
    URLHandle handle(curl->url(), URLHandleDeleter{curl});
    if (!handle) return std::nullopt;
    if (curl->url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    auto full = part(*curl, handle.get(), CURLUPART_URL);
    if (!full) return std::nullopt;
    return APMLinkURL{*full, part(*curl, handle.get(), CURLUPART_QUERY).value_or("")};
}

std::string APMEscapeQueryValue(const std::string& value) {
    static const char* digits = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += digits[c >> 4];
            escaped += digits[c & 0x0F];
        }
    }
    return escaped;
}

}  // namespace measurement
