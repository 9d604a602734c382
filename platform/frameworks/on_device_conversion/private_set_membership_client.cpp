// The on-device conversion client stand-in: a class in the registry whose
// clients hash their input with SHA-256 and query a prefix of the digest.
#include "platform/frameworks/on_device_conversion/private_set_membership_client.h"

#include <openssl/sha.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include "platform/foundation/class_registry.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/url.h"

namespace platform::ondevice {

namespace {

constexpr std::size_t kDigestLength = SHA256_DIGEST_LENGTH;
constexpr std::size_t kMinPhoneDigits = 7;
constexpr std::size_t kMaxPhoneDigits = 15;

struct State {
    std::mutex mutex;
    bool linked = false;
    bool offersPrefix = true;
    bool offersPhone = true;
    bool offersHashed = true;
    std::optional<std::string> serviceURL;
    std::optional<std::string> debugKey;
    std::vector<PSMClientRecord> clients;
    std::vector<std::int64_t> retryCounts;
    std::size_t parsed = 0;
};

State& state() {
    static State instance;
    return instance;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

bool isBlank(unsigned char c) { return std::isspace(c) != 0; }

class Client : public RuntimeObject {
public:
    explicit Client(PSMClientRecord record) : record_(std::move(record)) {}

    bool respondsToSelector(const std::string& selector) const override {
        if (selector == kDebugKeySelector) {
            std::lock_guard lock(state().mutex);
            return state().debugKey.has_value();
        }
        return selector == kInputTypeSelector || selector == kRequestURLSelector || selector == kParsedValueSelector;
    }

    Value performSelector(const std::string& selector) override {
        if (selector == kInputTypeSelector) return Value(std::int64_t{record_.inputType});
        if (selector == kDebugKeySelector) {
            std::lock_guard lock(state().mutex);
            return state().debugKey ? Value(*state().debugKey) : Value();
        }
        return {};
    }

    Value performSelectorWithArguments(const std::string& selector, const Value::Array& arguments) override {
        if (arguments.size() != 1) return {};
        if (selector == kRequestURLSelector && arguments[0].isNumber()) return requestURL(arguments[0].intValue());
        if (selector == kParsedValueSelector && arguments[0].isData()) return parsedValue(arguments[0].asData());
        return {};
    }

private:
    Value requestURL(std::int64_t retryCount) const {
        const auto base = PrivateSetMembership::serviceBaseURL();
        {
            std::lock_guard lock(state().mutex);
            state().retryCounts.push_back(retryCount);
        }
        if (!base) return {};
        auto url = URL::parse(*base);
        if (!url || !url->hasAuthority()) return {};
        std::string prefix = url->path();
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        url->setPath(prefix + PrivateSetMembership::kQueryPath);
        std::vector<URLQueryItem> items{{"app_id", record_.appID}, {"type", std::to_string(record_.inputType)}};
        if (record_.prefixBitLength) {
            items.push_back({"prefix", digestPrefix()});
            items.push_back({"bits", std::to_string(*record_.prefixBitLength)});
        } else {
            items.push_back({"digest", record_.digestHex});
        }
        items.push_back({"retry", std::to_string(retryCount)});
        url->setQueryItems(items);
        return Value(url->string());
    }

    std::string digestPrefix() const {
        std::vector<std::uint8_t> digest;
        for (std::size_t i = 0; i + 1 < record_.digestHex.size(); i += 2) {
            digest.push_back(static_cast<std::uint8_t>(std::stoi(record_.digestHex.substr(i, 2), nullptr, 16)));
        }
        return PrivateSetMembership::digestPrefixHex(digest, *record_.prefixBitLength);
    }

    static Value parsedValue(const Data& body) {
        {
            std::lock_guard lock(state().mutex);
            ++state().parsed;
        }
        const auto json = parseJSON(std::string(body.bytes.begin(), body.bytes.end()));
        if (!json || !json->isDictionary()) return Value(std::string());
        const auto& value = (*json)["value"];
        return Value(value.isString() ? value.asString() : std::string());
    }

    PSMClientRecord record_;
};

// The class object: its initialisers, as far as the library offers them.
class ClientClass : public RuntimeObject {
public:
    bool respondsToSelector(const std::string& selector) const override {
        std::lock_guard lock(state().mutex);
        const auto& s = state();
        if (selector == kInitWithEmailAddressSelector) return true;
        if (selector == kInitWithEmailAddressPrefixSelector) return s.offersPrefix;
        if (selector == kInitWithPhoneNumberSelector) return s.offersPhone;
        if (selector == kInitWithPhoneNumberPrefixSelector) return s.offersPhone && s.offersPrefix;
        if (selector == kInitWithHashedEmailAddressSelector || selector == kInitWithHashedPhoneNumberSelector) {
            return s.offersHashed;
        }
        return false;
    }

    std::shared_ptr<RuntimeObject> performObjectSelectorWithArguments(const std::string& selector,
                                                                      const Value::Array& arguments) override {
        if (!respondsToSelector(selector) || arguments.size() < 2 || !arguments[1].isString()) return nullptr;
        const bool withPrefix = arguments.size() == 3;
        PSMClientRecord record;
        record.appID = arguments[1].asString();
        if (withPrefix) {
            if (!arguments[2].isNumber()) return nullptr;
            const auto bits = arguments[2].intValue();
            if (bits < 1 || bits > static_cast<std::int64_t>(kDigestLength * 8)) return nullptr;
            record.prefixBitLength = static_cast<int>(bits);
        }
        if (!digestInput(selector, arguments[0], record)) return nullptr;
        {
            std::lock_guard lock(state().mutex);
            state().clients.push_back(record);
        }
        return std::make_shared<Client>(std::move(record));
    }

private:
    static bool digestInput(const std::string& selector, const Value& input, PSMClientRecord& record) {
        const bool email = selector == kInitWithEmailAddressSelector || selector == kInitWithEmailAddressPrefixSelector;
        const bool phone = selector == kInitWithPhoneNumberSelector || selector == kInitWithPhoneNumberPrefixSelector;
        if (email || phone) {
            if (!input.isString()) return false;
            const auto normalized = email ? PrivateSetMembership::normalizedEmailAddress(input.asString())
                                          : PrivateSetMembership::normalizedPhoneNumber(input.asString());
            if (!normalized) return false;
            record.inputType = email ? kPSMInputEmailAddress : kPSMInputPhoneNumber;
            record.digestHex = hexOf(PrivateSetMembership::sha256(*normalized));
            return true;
        }
        if (!input.isData() || input.asData().bytes.size() != kDigestLength) return false;
        record.inputType =
            selector == kInitWithHashedEmailAddressSelector ? kPSMInputHashedEmailAddress : kPSMInputHashedPhoneNumber;
        record.digestHex = hexOf(input.asData().bytes);
        return true;
    }
};

}  // namespace

void PrivateSetMembership::link() {
    {
        std::lock_guard lock(state().mutex);
        state().linked = true;
    }
    ClassRegistry::registerClass(kClassName, std::make_shared<ClientClass>());
}

void PrivateSetMembership::unlink() {
    {
        std::lock_guard lock(state().mutex);
        state().linked = false;
    }
    ClassRegistry::removeClass(kClassName);
}

bool PrivateSetMembership::isLinked() {
    std::lock_guard lock(state().mutex);
    return state().linked;
}

void PrivateSetMembership::setOffersPrefixBitLength(bool offers) {
    std::lock_guard lock(state().mutex);
    state().offersPrefix = offers;
}

void PrivateSetMembership::setOffersPhoneNumbers(bool offers) {
    std::lock_guard lock(state().mutex);
    state().offersPhone = offers;
}

void PrivateSetMembership::setOffersHashedIdentifiers(bool offers) {
    std::lock_guard lock(state().mutex);
    state().offersHashed = offers;
}

std::optional<std::string> PrivateSetMembership::serviceBaseURL() {
    {
        std::lock_guard lock(state().mutex);
        if (state().serviceURL) return state().serviceURL;
    }
    return LaunchOptions::current().onDeviceConversionURL;
}

void PrivateSetMembership::setServiceBaseURL(std::optional<std::string> url) {
    std::lock_guard lock(state().mutex);
    state().serviceURL = std::move(url);
}

void PrivateSetMembership::setDebugKey(std::optional<std::string> key) {
    std::lock_guard lock(state().mutex);
    state().debugKey = std::move(key);
}

std::optional<std::string> PrivateSetMembership::normalizedEmailAddress(const std::string& emailAddress) {
    std::size_t first = 0;
    std::size_t last = emailAddress.size();
    while (first < last && isBlank(static_cast<unsigned char>(emailAddress[first]))) ++first;
    while (last > first && isBlank(static_cast<unsigned char>(emailAddress[last - 1]))) --last;
    std::string normalized;
    for (std::size_t i = first; i < last; ++i) {
        const auto c = static_cast<unsigned char>(emailAddress[i]);
        if (isBlank(c)) return std::nullopt;
        normalized += static_cast<char>(std::tolower(c));
    }
    const auto at = normalized.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == normalized.size()) return std::nullopt;
    if (normalized.find('@', at + 1) != std::string::npos) return std::nullopt;
    return normalized;
}

std::optional<std::string> PrivateSetMembership::normalizedPhoneNumber(const std::string& phoneNumber) {
    static const std::set<char> kSeparators{' ', '-', '.', '(', ')', '\t'};
    std::string normalized;
    for (char c : phoneNumber) {
        if (kSeparators.count(c)) continue;
        if (c == '+' && normalized.empty()) {
            normalized += c;
        } else if (std::isdigit(static_cast<unsigned char>(c)) && !normalized.empty()) {
            normalized += c;
        } else {
            return std::nullopt;
        }
    }
    const std::size_t digits = normalized.empty() ? 0 : normalized.size() - 1;
    if (digits < kMinPhoneDigits || digits > kMaxPhoneDigits) return std::nullopt;
    return normalized;
}

std::vector<std::uint8_t> PrivateSetMembership::sha256(const std::string& text) {
    std::vector<std::uint8_t> digest(kDigestLength);
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
    return digest;
}

std::string PrivateSetMembership::digestPrefixHex(const std::vector<std::uint8_t>& digest, int bits) {
    const std::size_t totalBits = digest.size() * 8;
    const std::size_t wanted = bits <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(bits), totalBits);
    const std::string hex = hexOf(digest);
    std::string prefix = hex.substr(0, (wanted + 3) / 4);
    if (const std::size_t spare = prefix.size() * 4 - wanted; spare > 0) {
        const int last = std::stoi(prefix.substr(prefix.size() - 1), nullptr, 16);
        const int masked = last & ~((1 << spare) - 1);
        prefix.back() = "0123456789abcdef"[masked];
    }
    return prefix;
}

std::vector<PSMClientRecord> PrivateSetMembership::clients() {
    std::lock_guard lock(state().mutex);
    return state().clients;
}

std::vector<std::int64_t> PrivateSetMembership::queryRetryCounts() {
    std::lock_guard lock(state().mutex);
    return state().retryCounts;
}

std::size_t PrivateSetMembership::parsedResponseCount() {
    std::lock_guard lock(state().mutex);
    return state().parsed;
}

void PrivateSetMembership::reset() {
    unlink();
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.offersPrefix = s.offersPhone = s.offersHashed = true;
    s.serviceURL.reset();
    s.debugKey.reset();
    s.clients.clear();
    s.retryCounts.clear();
    s.parsed = 0;
}

}  // namespace platform::ondevice
