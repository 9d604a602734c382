#include "measurement/upload/bundle_all_for_test.h"

#include "measurement/store/config_test_support.h"
#include "measurement/upload/bundler.h"

namespace upload_test {

int bundleAllRawEvents(measurement::APMDatabase& database, platform::dispatch::Queue& workerQueue,
                       const std::filesystem::path& settingsPath) {
    auto storage = std::make_shared<config_test::MemoryConfigStorage>();
    measurement::APMRemoteConfig config(storage, config_test::testEnvironment());
    measurement::APMPersistedConfig persisted(settingsPath);
    int made = 0;
    workerQueue.sync([&] {
        measurement::APMBundler bundler(database, config, persisted);
        while (bundler.bundleRawEvents()) ++made;
    });
    return made;
}

}  // namespace upload_test
