// Processes that share a preferences suite: no change is lost to another's write.
#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/child_process.h"
#include "testsupport/odd_names.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

using platform::UserDefaults;
using platform::Value;

namespace {

constexpr const char* kSuite = "com.example.shared";

struct PreferencesFolder {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory scope{dir.path()};
};

Value::Dictionary onDisk() {
    const auto bytes = platform::readFile(UserDefaults::fileForSuite(kSuite));
    REQUIRE(bytes);
    const auto parsed = platform::parsePropertyList(*bytes);
    REQUIRE((parsed && parsed->isDictionary()));
    return parsed->asDictionary();
}

// Runs `change` in a forked process, which starts from this process's view
// of the suite as it stands, and waits for it to end; its status is 0 when
// the change answered true.
int inAnotherProcess(const std::function<bool()>& change) {
    const pid_t child = ::fork();
    REQUIRE(child >= 0);
    if (child == 0) ::_exit(change() ? 0 : 1);
    int status = 0;
    REQUIRE(::waitpid(child, &status, 0) == child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Change = std::function<bool(UserDefaults&)>;

Change setting(const std::string& key, Value value) {
    return [key, value](UserDefaults& defaults) { return defaults.setObject(value, key); };
}

Change removing(const std::string& key) {
    return [key](UserDefaults& defaults) { return defaults.removeObjectForKey(key); };
}

Change consent(const char* ad, const char* analytics, const std::string& changed) {
    return [=](UserDefaults& defaults) {
        return defaults.setDictionaryEntries({{"ad", ad}, {"analytics", analytics}}, {changed}, "consent");
    };
}

}  // namespace

TEST_CASE("a process's write keeps what another wrote since it read the suite") {
    const Value::Dictionary granted{{"ad", "granted"}, {"analytics", "granted"}};
    struct Case {
        const char* what;
        Value::Dictionary before;
        Change other;  // made first, in another process, from the same view
        Change own;
        Value::Dictionary after;
        bool setAside = false;  // the file the other left, kept beside the suite
    };
    const std::vector<Case> cases = {
        {"a key each", {{"x", 0}}, setting("b", 2), setting("a", 1), {{"x", 0}, {"a", 1}, {"b", 2}}},
        {"a key the other removed", {{"x", 0}, {"y", 0}}, removing("x"), setting("a", 1), {{"y", 0}, {"a", 1}}},
        {"one key: the later write wins", {{"x", 0}}, setting("x", 5), setting("x", 7), {{"x", 7}}},
        {"one key removed after the other set it", {{"x", 0}}, setting("x", 5), removing("x"), {}},
        {"a value set again that the other changed", {{"x", 0}}, setting("x", 5), setting("x", 0), {{"x", 0}}},
        {"entries of one dictionary", {{"consent", granted}}, consent("granted", "denied", "analytics"),
         consent("denied", "granted", "ad"), {{"consent", Value::Dictionary{{"ad", "denied"}, {"analytics", "denied"}}}}},
        // The entry this process removed stays removed, though the other's
        // write left the dictionary as this process last read it.
        {"an entry removed from a dictionary, the other setting another key",
         {{"consent", Value::Dictionary{{"ad", "granted"}, {"analytics", "granted"}, {"extra", "granted"}}}},
         setting("b", 2),
         [](UserDefaults& defaults) {
             return defaults.setDictionaryEntries({{"ad", "granted"}, {"analytics", "granted"}}, {"extra"}, "consent");
         },
         {{"consent", granted}, {"b", 2}}},
        {"every key cleared, the other's too", {{"x", 0}}, setting("b", 2),
         [](UserDefaults& defaults) { return defaults.removeAllObjects(); }, {}},
        // Set aside, as at a start: this process's view is what there is.
        {"a file the other damaged", {{"x", 0}},
         [](UserDefaults& defaults) { return bool(std::ofstream(defaults.filePath()) << "<plist><dict><key>cut"); },
         setting("a", 1), {{"x", 0}, {"a", 1}}, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        PreferencesFolder folder;
        std::ofstream(UserDefaults::fileForSuite(kSuite), std::ios::binary)
            << platform::writePropertyListBinary(Value(c.before));
        UserDefaults own(kSuite);
        REQUIRE(own.dictionaryRepresentation() == c.before);
        CHECK(inAnotherProcess([&] {
                  UserDefaults other(kSuite);
                  return c.other(other);
              }) == 0);
        CHECK(c.own(own));
        CHECK(onDisk() == c.after);
        // Memory took in the other's change with the write.
        CHECK(own.dictionaryRepresentation() == c.after);
        auto aside = UserDefaults::fileForSuite(kSuite);
        aside += ".corrupt";
        CHECK(std::filesystem::exists(aside) == c.setAside);
    }
}

TEST_CASE("eight processes setting a key each at once keep all eight") {
    constexpr int kProcesses = 8;
    PreferencesFolder folder;
    UserDefaults own(kSuite);
    REQUIRE(own.setObject("first", "seed"));
    // Every child starts from the same view and waits for the others to be
    // there before it writes.
    const auto children = testsupport::forkTogether(
        kProcesses, [&](int i) { return own.setObject(i, "process " + std::to_string(i)) ? 0 : 1; });
    for (const pid_t child : children) CHECK(testsupport::waitForChild(child, 60) == 0);
    Value::Dictionary expected{{"seed", "first"}};
    for (int i = 0; i < kProcesses; ++i) expected.emplace("process " + std::to_string(i), i);
    CHECK(onDisk() == expected);
}

TEST_CASE("a write waits for the lock its writers take turns under, and gives up at the bound") {
    PreferencesFolder folder;
    testsupport::ScopedLaunchOptions shortWait([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.05; });
    UserDefaults own(kSuite);
    REQUIRE(own.setObject(0, "x"));
    const auto file = UserDefaults::fileForSuite(kSuite);
    testsupport::FileLockHolder holder(file.string() + ".lock", true);
    const std::string holderName = "process " + std::to_string(holder.pid());

    CHECK_FALSE(own.setObject(1, "a"));
    REQUIRE(UserDefaults::unsavedSuites().size() == 1);
    CHECK(UserDefaults::unsavedSuites().front().why == file.string() + ".lock stayed locked by " + holderName +
                                                           " for 0.05 s");
    // Once given up on, the lock is only tried.
    CHECK_FALSE(own.setObject(2, "b"));
    CHECK(UserDefaults::unsavedSuites().front().why.find("is still locked by " + holderName) != std::string::npos);
    CHECK(onDisk() == Value::Dictionary{{"x", 0}});

    holder.letGo();
    CHECK(own.synchronize());
    CHECK(onDisk() == Value::Dictionary{{"x", 0}, {"a", 1}, {"b", 2}});
    CHECK(UserDefaults::unsavedSuites().empty());
    // A lock taken since is waited for again.
    testsupport::FileLockHolder again(file.string() + ".lock", true);
    CHECK_FALSE(own.setObject(3, "c"));
    CHECK(UserDefaults::unsavedSuites().front().why.find(" for 0.05 s") != std::string::npos);
}

TEST_CASE("a suite's lock that is no regular file is set aside and said, and the lock file made there is held") {
    testsupport::ScopedLaunchOptions shortWait([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.05; });
    for (const auto& kind : testsupport::oddKinds()) {
        CAPTURE(kind.what);
        PreferencesFolder folder;
        const std::string lock = UserDefaults::fileForSuite(kSuite).string() + ".lock";
        const auto outside = folder.dir / "outside";
        kind.make(lock, outside);
        UserDefaults own(kSuite);
        CHECK(own.setObject(1, "a"));
        CHECK(own.diagnostics() == std::vector<std::string>{lock + " was " + testsupport::foundAs(kind) +
                                                            ", not a lock file; set aside as " + lock + ".corrupt"});
        CHECK(std::filesystem::is_regular_file(std::filesystem::symlink_status(lock)));
        testsupport::checkOutsideUntouched(kind, outside);
        // Another process's write takes its turn under the lock file made
        // there: held by a third, it is not written.
        {
            testsupport::FileLockHolder holder(lock, true);
            CHECK(inAnotherProcess([] { return UserDefaults(kSuite).setObject(2, "b"); }) == 1);
            CHECK(onDisk() == Value::Dictionary{{"a", 1}});
        }
        CHECK(inAnotherProcess([] { return UserDefaults(kSuite).setObject(2, "b"); }) == 0);
        CHECK(onDisk() == Value::Dictionary{{"a", 1}, {"b", 2}});
    }
}
