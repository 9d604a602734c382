#include <doctest/doctest.h>

#include <chrono>
#include <thread>

#include "platform/foundation/class_registry.h"
#include "platform/frameworks/advertising_identifier/identifier_manager.h"

using platform::ClassRegistry;
using platform::Value;
using platform::adsupport::AdvertisingIdentifierManager;

namespace {

struct ResetManager {
    ResetManager() { AdvertisingIdentifierManager::reset(); }
    ~ResetManager() { AdvertisingIdentifierManager::reset(); }
};

std::shared_ptr<platform::RuntimeObject> sharedManager() {
    auto managerClass = ClassRegistry::classNamed("ASIdentifierManager");
    REQUIRE(managerClass);
    REQUIRE(managerClass->respondsToSelector("sharedManager"));
    auto manager = managerClass->performObjectSelector("sharedManager");
    REQUIRE(manager);
    return manager;
}

}  // namespace

TEST_CASE("the identifier manager is reached by name and answers what was set") {
    ResetManager reset;
    CHECK_FALSE(ClassRegistry::classNamed("ASIdentifierManager"));
    AdvertisingIdentifierManager::link();
    auto manager = sharedManager();

    SUBCASE("until set: the all-zero identifier, tracking off") {
        CHECK(manager->performSelector("advertisingIdentifier") == Value("00000000-0000-0000-0000-000000000000"));
        CHECK(manager->performSelector("isAdvertisingTrackingEnabled") == Value(false));
    }
    SUBCASE("a set identifier and tracking state; other selectors answer nothing") {
        AdvertisingIdentifierManager::setAdvertisingIdentifier("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
        AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(true);
        CHECK(manager->performSelector("advertisingIdentifier") == Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
        CHECK(manager->performSelector("isAdvertisingTrackingEnabled") == Value(true));
        CHECK_FALSE(manager->respondsToSelector("sharedManager"));
        CHECK(manager->performSelector("sharedManager").isNull());
        CHECK(AdvertisingIdentifierManager::identifierRequestCount() == 1);
    }
    SUBCASE("unlinked, the class is gone") {
        AdvertisingIdentifierManager::unlink();
        CHECK_FALSE(ClassRegistry::classNamed("ASIdentifierManager"));
    }
}

TEST_CASE("a delayed identifier answer waits until released") {
    ResetManager reset;
    AdvertisingIdentifierManager::link();
    AdvertisingIdentifierManager::setAdvertisingIdentifier("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    // Long enough that only the release can end the wait within the test.
    AdvertisingIdentifierManager::setAnswerDelay(std::chrono::minutes(10));
    auto manager = sharedManager();

    Value answer;
    std::thread asker([&] { answer = manager->performSelector("advertisingIdentifier"); });
    AdvertisingIdentifierManager::waitForIdentifierRequests(1);
    CHECK(AdvertisingIdentifierManager::identifierAnswerCount() == 0);
    AdvertisingIdentifierManager::releaseDelayedAnswers();
    asker.join();
    CHECK(answer == Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    CHECK(AdvertisingIdentifierManager::identifierAnswerCount() == 1);
}
