// The on-device conversion client stand-in as the engine reaches it: by class name.
#include <doctest/doctest.h>

#include "platform/foundation/class_registry.h"
#include "platform/frameworks/on_device_conversion/private_set_membership_client.h"

using platform::ClassRegistry;
using platform::Data;
using platform::RuntimeObject;
using platform::Value;
using namespace platform::ondevice;

namespace {

struct ResetLibrary {
    ResetLibrary() { PrivateSetMembership::reset(); }
    ~ResetLibrary() { PrivateSetMembership::reset(); }
};

// Digests worked out with the sha256sum command.
constexpr const char* kJaneDigest = "86e0b9e56c17cc4d12387e1949b85053fbe73bc3ce5a1188713a9d300cc6133d";
constexpr const char* kPhoneDigest = "536afd523e19dc83fccba822ef5e4ca646111314aaf0aa286667c5bea18dd70b";
constexpr const char* kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::vector<std::uint8_t> bytesOfHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::shared_ptr<RuntimeObject> clientClass() {
    auto found = ClassRegistry::classNamed("APMPrivateSetMembershipClient");
    REQUIRE(found);
    return found;
}

}  // namespace

TEST_CASE("the client normalises its input and hashes it with SHA-256") {
    SUBCASE("e-mail addresses") {
        const struct {
            const char* input;
            std::optional<std::string> normalized;
        } cases[] = {
            {"  Jane.Doe@Example.COM\n", "jane.doe@example.com"},
            {"jane.doe@example.com", "jane.doe@example.com"},
            {"jane doe@example.com", std::nullopt},
            {"@example.com", std::nullopt},
            {"jane@", std::nullopt},
            {"jane@doe@example.com", std::nullopt},
            {"", std::nullopt},
        };
        for (const auto& c : cases) {
            CAPTURE(c.input);
            CHECK(PrivateSetMembership::normalizedEmailAddress(c.input) == c.normalized);
        }
    }
    SUBCASE("phone numbers") {
        const struct {
            const char* input;
            std::optional<std::string> normalized;
        } cases[] = {
            {"+49 151 1234-5678", "+4915112345678"},
            {"+1 (555) 010.9999", "+15550109999"},
            {"015112345678", std::nullopt},
            {"+49 151 12x45678", std::nullopt},
            {"+123456", std::nullopt},
            {"+1234567", "+1234567"},
            {"+1234567890123456", std::nullopt},
            {"4+4915112345678", std::nullopt},
        };
        for (const auto& c : cases) {
            CAPTURE(c.input);
            CHECK(PrivateSetMembership::normalizedPhoneNumber(c.input) == c.normalized);
        }
    }
    SUBCASE("digests and their prefixes") {
        CHECK(PrivateSetMembership::sha256("abc") == bytesOfHex(kAbcDigest));
        const auto digest = bytesOfHex(kAbcDigest);
        const struct {
            int bits;
            const char* prefix;
        } cases[] = {{14, "ba78"}, {13, "ba78"}, {12, "ba7"}, {10, "ba4"}, {6, "b8"}, {0, ""}, {300, kAbcDigest}};
        for (const auto& c : cases) {
            CAPTURE(c.bits);
            CHECK(PrivateSetMembership::digestPrefixHex(digest, c.bits) == c.prefix);
        }
    }
}

TEST_CASE("the client class is found by name and makes clients of the input it takes") {
    ResetLibrary reset;
    CHECK_FALSE(ClassRegistry::classNamed("APMPrivateSetMembershipClient"));
    PrivateSetMembership::link();
    const auto type = clientClass();

    SUBCASE("each initialiser, its input type and digest") {
        const struct {
            const char* selector;
            Value input;
            int inputType;
            const char* digest;
        } cases[] = {
            {kInitWithEmailAddressPrefixSelector, Value(" Jane.Doe@example.com"), 1, kJaneDigest},
            {kInitWithPhoneNumberPrefixSelector, Value("+49 151 12345678"), 2, kPhoneDigest},
            {kInitWithHashedEmailAddressSelector, Value(Data{bytesOfHex(kJaneDigest)}), 3, kJaneDigest},
            {kInitWithHashedPhoneNumberSelector, Value(Data{bytesOfHex(kPhoneDigest)}), 4, kPhoneDigest},
        };
        for (const auto& c : cases) {
            CAPTURE(c.selector);
            REQUIRE(type->respondsToSelector(c.selector));
            auto client = type->performObjectSelectorWithArguments(c.selector, {c.input, Value("com.velmora"), Value(14)});
            REQUIRE(client);
            CHECK(client->performSelector(kInputTypeSelector) == Value(c.inputType));
            const auto made = PrivateSetMembership::clients().back();
            CHECK(made.digestHex == c.digest);
            CHECK(made.prefixBitLength == 14);
            CHECK(made.appID == "com.velmora");
        }
    }
    SUBCASE("refused input makes no client") {
        const struct {
            const char* selector;
            Value::Array arguments;
        } cases[] = {
            {kInitWithEmailAddressSelector, {Value("not an address"), Value("com.velmora")}},
            {kInitWithPhoneNumberSelector, {Value("0151 12345678"), Value("com.velmora")}},
            {kInitWithHashedEmailAddressSelector, {Value(Data{std::vector<std::uint8_t>(31, 1)}), Value("a"), Value(14)}},
            {kInitWithEmailAddressPrefixSelector, {Value("a@b.c"), Value("com.velmora"), Value(0)}},
            {kInitWithEmailAddressPrefixSelector, {Value("a@b.c"), Value("com.velmora"), Value(257)}},
            {kInitWithEmailAddressSelector, {Value("a@b.c")}},
        };
        for (const auto& c : cases) {
            CAPTURE(c.selector);
            CHECK_FALSE(type->performObjectSelectorWithArguments(c.selector, c.arguments));
        }
        CHECK(PrivateSetMembership::clients().empty());
    }
    SUBCASE("an older library offers only the forms a test leaves it") {
        PrivateSetMembership::setOffersPrefixBitLength(false);
        PrivateSetMembership::setOffersPhoneNumbers(false);
        PrivateSetMembership::setOffersHashedIdentifiers(false);
        CHECK(type->respondsToSelector(kInitWithEmailAddressSelector));
        for (const char* selector : {kInitWithEmailAddressPrefixSelector, kInitWithPhoneNumberSelector,
                                     kInitWithPhoneNumberPrefixSelector, kInitWithHashedEmailAddressSelector,
                                     kInitWithHashedPhoneNumberSelector}) {
            CAPTURE(selector);
            CHECK_FALSE(type->respondsToSelector(selector));
        }
        CHECK_FALSE(type->performObjectSelectorWithArguments(kInitWithPhoneNumberSelector,
                                                             {Value("+4915112345678"), Value("com.velmora")}));
    }
    SUBCASE("unlinked, the class is gone") {
        PrivateSetMembership::unlink();
        CHECK_FALSE(ClassRegistry::classNamed("APMPrivateSetMembershipClient"));
    }
}

TEST_CASE("a client's query, debug key and reading of the reply") {
    ResetLibrary reset;
    PrivateSetMembership::link();
    auto withPrefix = clientClass()->performObjectSelectorWithArguments(
        kInitWithEmailAddressPrefixSelector, {Value("jane.doe@example.com"), Value("com.velmora app"), Value(14)});
    auto whole = clientClass()->performObjectSelectorWithArguments(
        kInitWithEmailAddressSelector, {Value("jane.doe@example.com"), Value("com.velmora")});
    REQUIRE(withPrefix);
    REQUIRE(whole);

    SUBCASE("no service address: no query") {
        CHECK(withPrefix->performSelectorWithArguments(kRequestURLSelector, {Value(0)}).isNull());
        CHECK(PrivateSetMembership::queryRetryCounts() == std::vector<std::int64_t>{0});
    }
    SUBCASE("the query sends the prefix, or the whole digest without a length") {
        PrivateSetMembership::setServiceBaseURL("http://127.0.0.1:9/svc/");
        CHECK(withPrefix->performSelectorWithArguments(kRequestURLSelector, {Value(2)}) ==
              Value("http://127.0.0.1:9/svc/psm/query?app_id=com.velmora%20app&type=1&prefix=86e0&bits=14&retry=2"));
        CHECK(whole->performSelectorWithArguments(kRequestURLSelector, {Value(0)}) ==
              Value(std::string("http://127.0.0.1:9/svc/psm/query?app_id=com.velmora&type=1&digest=") + kJaneDigest +
                    "&retry=0"));
        CHECK(PrivateSetMembership::queryRetryCounts() == std::vector<std::int64_t>{2, 0});
    }
    SUBCASE("the debug key is answered only once one is set") {
        CHECK_FALSE(withPrefix->respondsToSelector(kDebugKeySelector));
        PrivateSetMembership::setDebugKey("key 1");
        CHECK(withPrefix->respondsToSelector(kDebugKeySelector));
        CHECK(withPrefix->performSelector(kDebugKeySelector) == Value("key 1"));
    }
    SUBCASE("the reply's value is the match; anything else is none") {
        const struct {
            const char* body;
            const char* value;
        } cases[] = {
            {R"({"value": "m-1"})", "m-1"}, {R"({"value": 5})", ""}, {"{}", ""}, {"not json", ""}, {"", ""},
        };
        for (const auto& c : cases) {
            CAPTURE(c.body);
            const std::string body = c.body;
            const Data data{std::vector<std::uint8_t>(body.begin(), body.end())};
            CHECK(withPrefix->performSelectorWithArguments(kParsedValueSelector, {Value(data)}) == Value(c.value));
        }
        CHECK(PrivateSetMembership::parsedResponseCount() == 5);
    }
}
