#include <doctest/doctest.h>
#include <cmath>

#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/background_task.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_hooks.h"

using platform::BackgroundTasks;
using platform::VEZApp;

namespace {

// Points the main bundle at a folder for the scope of a test, then back at
// the folder it had.
struct BundleScope {
    explicit BundleScope(const std::filesystem::path& path) : saved(platform::Bundle::main().resourcePath()) {
        platform::Bundle::setMainResourcePath(path);
        test_hooks::resetDefaultApp();
    }
    ~BundleScope() {
        platform::Bundle::setMainResourcePath(saved);
        test_hooks::resetDefaultApp();
    }
    std::filesystem::path saved;
};

void writeServiceInfo(const std::filesystem::path& folder, const std::string& appID) {
    std::ofstream out(folder / "RozedaService-Info.plist");
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>ROZEDA_APP_ID</key><string>" << appID << "</string>"
        << "<key>BUNDLE_ID</key><string>com.example.test</string></dict></plist>\n";
}

}  // namespace

TEST_CASE("the default application is configured once from the service property list") {
    testsupport::TempDir folder;
    BundleScope scope(folder.path());
    // Hooks stay registered for the process, so they write to a vector that
    // does too.
    static std::vector<std::string> started;
    started.clear();
    VEZApp::registerComponent("app_core_test.first", [](const platform::VEZAppOptions& options) {
        started.push_back("first:" + options.appID);
    });

    SUBCASE("without the property list nothing starts") {
        CHECK_FALSE(VEZApp::configure());
        CHECK_FALSE(VEZApp::isDefaultAppConfigured());
        CHECK(started.empty());
    }
    SUBCASE("an empty application identifier is refused") {
        writeServiceInfo(folder.path(), "");
        CHECK_FALSE(VEZApp::configure());
        CHECK(started.empty());
    }
    SUBCASE("hooks run once, a second configure is refused") {
        writeServiceInfo(folder.path(), "velmora-app-3");
        CHECK(VEZApp::configure());
        CHECK(VEZApp::isDefaultAppConfigured());
        CHECK(VEZApp::defaultAppOptions()->bundleID == "com.example.test");
        CHECK_FALSE(VEZApp::configure());
        CHECK(started == std::vector<std::string>{"first:velmora-app-3"});
        // A hook registered late runs at once; the same name twice is kept once.
        VEZApp::registerComponent("app_core_test.late", [](const platform::VEZAppOptions&) { started.push_back("late"); });
        VEZApp::registerComponent("app_core_test.late", [](const platform::VEZAppOptions&) { started.push_back("again"); });
        CHECK(started == std::vector<std::string>{"first:velmora-app-3", "late"});
    }
}

TEST_CASE("background tasks are recorded and can be waited for") {
    auto& tasks = BackgroundTasks::shared();
    tasks.reset();
    const auto first = tasks.beginBackgroundTask("upload", nullptr);
    const auto second = tasks.beginBackgroundTask("flush", nullptr);
    CHECK(first != platform::kInvalidBackgroundTask);
    CHECK(first != second);
    CHECK(tasks.activeTaskCount() == 2);
    tasks.endBackgroundTask(first);
    tasks.endBackgroundTask(first);
    tasks.endBackgroundTask(12345);
    CHECK(tasks.activeTaskCount() == 1);
    CHECK_FALSE(tasks.waitUntilNoActiveTask(0.01));

    std::thread ender([&] { tasks.endBackgroundTask(second); });
    CHECK(tasks.waitUntilNoActiveTask(30));
    ender.join();
    const auto records = tasks.records();
    REQUIRE(records.size() == 2);
    CHECK(records[0].name == "upload");
    CHECK(records[1].ended);

    // Nothing expires headless: what an expiration handler captured is let
    // go of at once rather than held for the life of the process.
    auto captured = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = captured;
    const auto third = tasks.beginBackgroundTask("held", [captured = std::move(captured)] {});
    CHECK(watch.expired());
    tasks.endBackgroundTask(third);
    tasks.reset();
}

TEST_CASE("the time granted to a process before it ends is read as the time remaining") {
    auto& tasks = BackgroundTasks::shared();
    tasks.reset();
    CHECK(std::isinf(tasks.backgroundTimeRemaining()));
    tasks.grantBackgroundTime(1000);
    const double left = tasks.backgroundTimeRemaining();
    CHECK(left <= 1000);
    CHECK(left > 900);
    // A later grant replaces the earlier one; one that has passed leaves
    // nothing, never less than nothing.
    tasks.grantBackgroundTime(-5);
    CHECK(tasks.backgroundTimeRemaining() == 0);
    tasks.grantBackgroundTime(std::nan(""));
    CHECK(tasks.backgroundTimeRemaining() == 0);
    tasks.grantBackgroundTime(std::numeric_limits<double>::infinity());
    CHECK(std::isinf(tasks.backgroundTimeRemaining()));
    tasks.grantBackgroundTime(5);
    tasks.reset();
    CHECK(std::isinf(tasks.backgroundTimeRemaining()));
}
