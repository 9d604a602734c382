#include <doctest/doctest.h>

#include "platform/foundation/defaults_key.h"
#include "testsupport/temp_dir.h"

using platform::DefaultsKey;
using platform::UserDefaults;
using platform::Value;

TEST_CASE("typed keys read their default until a value is stored") {
    testsupport::TempDir folder;
    platform::ScopedDataDirectory preferences(folder.path());
    const DefaultsKey<bool> finished("isOnboardingFinished");
    const DefaultsKey<int> counter("counterForRating", 5);
    const DefaultsKey<std::optional<std::string>> note("note");
    const DefaultsKey<std::optional<platform::Date>> firstStart("firstAppStartAt");

    SUBCASE("absent keys") {
        CHECK_FALSE(finished.get());
        CHECK(counter.get() == 5);
        CHECK_FALSE(counter.hasValue());
        CHECK_FALSE(note.get());
        CHECK_FALSE(firstStart.get());
    }
    SUBCASE("stored values go to the standard suite in their plain form") {
        CHECK(finished.set(true));
        CHECK(counter.set(4));
        CHECK(firstStart.set(platform::Date{1700000000.5}));
        UserDefaults standard;
        CHECK(standard.objectForKey("isOnboardingFinished") == Value(true));
        CHECK(standard.objectForKey("counterForRating") == Value(4));
        CHECK(standard.dateForKey("firstAppStartAt")->secondsSince1970 == 1700000000.5);
        CHECK(finished.get());
        CHECK(counter.get() == 4);
        CHECK(counter.hasValue());
        CHECK(counter.remove());
        CHECK(counter.get() == 5);
    }
    SUBCASE("none removes an optional key") {
        CHECK(note.set(std::string("hello")));
        CHECK(note.get() == "hello");
        CHECK(note.set(std::nullopt));
        CHECK_FALSE(UserDefaults().objectForKey("note"));
    }
    SUBCASE("values that cannot be read as the type give the default") {
        UserDefaults standard;
        standard.setObject("many", "counterForRating");
        CHECK(counter.get() == 5);
        standard.setObject(Value(static_cast<long long>(1) << 40), "counterForRating");
        CHECK(counter.get() == 5);  // beyond int
        standard.setObject(1, "isOnboardingFinished");
        CHECK(finished.get());
        standard.setObject(Value::Array{}, "firstAppStartAt");
        CHECK_FALSE(firstStart.get());
    }
    SUBCASE("another suite") {
        UserDefaults suite("com.example.keys");
        CHECK(counter.set(2, suite));
        CHECK(counter.get(suite) == 2);
        CHECK(counter.get() == 5);
    }
}
