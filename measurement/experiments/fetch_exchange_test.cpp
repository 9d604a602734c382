// The fetch exchange: what a reply brings, the request that goes out, and one exchange over the loopback network.
#include <doctest/doctest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_test_support.h"
#include "measurement/experiments/library_version.h"
#include "platform/foundation/process_info.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"

using namespace measurement;
using namespace measurement::experiments_test;

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

APMPBSdkResponse sdkResponse(const std::string& name, std::optional<std::uint32_t> status,
                             std::optional<APMPBSnapshot> snapshot) {
    APMPBSdkResponse response;
    NANOSetString(response, field(nano_APMPBSdkResponse_sdk_name_tag), name);
    if (status) NANOSetInt32(response, field(nano_APMPBSdkResponse_status_tag), static_cast<std::int32_t>(*status));
    if (snapshot) NANOSetMessage(response, field(nano_APMPBSdkResponse_snapshot_tag), *snapshot);
    return response;
}

APMPBExperimentResponse responseWith(const std::vector<APMPBSnapshot>& snapshots,
                                     const std::vector<APMPBSdkResponse>& sdkResponses) {
    APMPBExperimentResponse response;
    NANOSetArray(response, field(nano_APMPBExperimentResponse_snapshots_tag), snapshots);
    NANOSetArray(response, field(nano_APMPBExperimentResponse_sdk_responses_tag), sdkResponses);
    return response;
}

std::vector<std::string> namesOf(const std::vector<APMESnapshot>& snapshots) {
    std::vector<std::string> names;
    for (const auto& snapshot : snapshots) names.push_back(snapshot.SDKName());
    return names;
}

}  // namespace

TEST_CASE("what a response brings: its snapshot list, else its SDK responses' snapshots, and the per-SDK errors") {
    const auto listed = snapshotMessage("listed", {experimentMessage(1, {flag("a", 1)})});
    const auto carried = snapshotMessage("", {experimentMessage(2, {})});
    const auto named = snapshotMessage("inner", {experimentMessage(3, {})});

    SUBCASE("the list wins over the SDK responses") {
        const auto response = responseWith({listed}, {sdkResponse("other", 0, carried)});
        const auto snapshots = APMETaskManager::experimentSnapshotsFromExperimentResponse(&response);
        REQUIRE(snapshots);
        CHECK(namesOf(*snapshots) == std::vector<std::string>{"listed"});
    }
    SUBCASE("an empty list takes the SDK responses' snapshots, named after the response when it has a name") {
        const auto response = responseWith(
            {}, {sdkResponse("outer", 0, carried), sdkResponse("", 0, named), sdkResponse("none", 0, std::nullopt)});
        const auto snapshots = APMETaskManager::experimentSnapshotsFromExperimentResponse(&response);
        REQUIRE(snapshots);
        CHECK(namesOf(*snapshots) == std::vector<std::string>{"outer", "inner"});
    }
    SUBCASE("a snapshot without a name is left out") {
        const auto response = responseWith({carried, listed}, {});
        const auto snapshots = APMETaskManager::experimentSnapshotsFromExperimentResponse(&response);
        REQUIRE(snapshots);
        CHECK(namesOf(*snapshots) == std::vector<std::string>{"listed"});
    }
    SUBCASE("no message, no data, bytes that do not decode") {
        APMMonitorCapture capture;
        CHECK_FALSE(APMETaskManager::experimentSnapshotsFromExperimentResponse(nullptr));
        CHECK(capture.count(kAPMENilResponseCode) == 1);
        CHECK_FALSE(APMETaskManager::experimentSnapshotsFromData({}));
        CHECK(capture.hasCode(kAPMEEmptyResponseDataCode));
        CHECK_FALSE(APMETaskManager::experimentSnapshotsFromData({0x0a, 0xff}));
        CHECK(capture.count(kAPMENilResponseCode) == 2);
        CHECK_FALSE(APMETaskManager::errorsFromExperimentResponse(nullptr));
    }
    SUBCASE("statuses give errors by SDK: the complement of 1 to 3, -1 above") {
        struct Case {
            std::string name;
            std::optional<std::uint32_t> status;
            std::optional<long> code;
        };
        const std::vector<Case> cases = {
            {"ok", 0, std::nullopt},   {"unset", std::nullopt, std::nullopt}, {"one", 1, -2},
            {"two", 2, -3},            {"three", 3, -4},                      {"four", 4, -1},
            {"huge", 4000000000u, -1}, {"", 2, std::nullopt},
        };
        std::vector<APMPBSdkResponse> responses;
        for (const auto& c : cases) responses.push_back(sdkResponse(c.name, c.status, std::nullopt));
        const auto response = responseWith({}, responses);
        const auto errors = APMETaskManager::errorsFromExperimentResponse(&response);
        REQUIRE(errors);
        for (const auto& c : cases) {
            CAPTURE(c.name);
            const auto found = errors->find(c.name);
            CHECK((found == errors->end() ? std::nullopt : std::optional<long>(found->second.code())) == c.code);
            if (found != errors->end()) CHECK(found->second.domain() == kAPMEErrorDomain);
        }
    }
}

TEST_CASE("replies: success with and without snapshots, undecodable and ungzipped bodies, per-SDK errors") {
    ExperimentsFixture f;
    f.launch();
    f.registerSDK(kSDK);
    f.registerSDK("silent");
    f.observer->listensForSnapshots = false;

    SUBCASE("204 without a body is a success without snapshots") {
        f.service->script.push_back({204, {}});
        f.time.advance(10);
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 10);
        CHECK(f.capture.hasCode(kAPMEFetchSucceededCode));
        CHECK(f.capture.hasCode(kAPMENoSnapshotsToNotifyCode));
        CHECK(f.stored(kAPMEPendingSnapshotTable).empty());
    }
    SUBCASE("a body that is no gzip, or gzip of bytes that do not decode, still counts as a success") {
        f.service->script.push_back({200, {1, 2, 3}});
        f.time.advance(10);
        CHECK(f.capture.hasCode(kAPMEInflateFailedCode));
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 10);
        f.service->script.push_back({200, gzipped({0x0a, 0xff})});
        f.time.advance(14400);
        CHECK(f.capture.hasCode(kAPMENilResponseCode));
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 14410);
        CHECK(f.stored(kAPMEPendingSnapshotTable).empty());
    }
    SUBCASE("snapshots are stored as pending; errors reach the SDK's delegate") {
        const auto response = responseWith({}, {sdkResponse(kSDK, 0, snapshotMessage("", {experimentMessage(5, {})})),
                                                sdkResponse("silent", 2, std::nullopt)});
        f.service->script.push_back({200, gzipped(response.protoBuffer())});
        f.time.advance(10);
        const auto pending = f.stored(kAPMEPendingSnapshotTable);
        REQUIRE(pending.size() == 1);
        CHECK(pending[0].SDKName() == kSDK);
        CHECK(f.observer->fetchErrors == std::vector<std::pair<std::string, long>>{{"silent", -3}});
    }
}

TEST_CASE("the request: the application and the SDKs whose diversion key is known") {
    ExperimentsFixture f;
    platform::ProcessInfo::setPreferredLanguages({"de-DE", "en-US"});
    f.launch();
    f.registerSDK(kSDK);
    f.registerSDK("keyed", {}, std::string("zyxwv"));
    f.service->script.push_back({204, {}});
    f.time.advance(10);
    platform::ProcessInfo::reset();
    REQUIRE(f.service->requests.size() == 1);
    const auto request = APMPBExperimentRequest::initWithBuffer(f.service->requests[0].payload);
    REQUIRE(request);
    const auto app = NANOGetMessage<APMPBAppProperty>(*request, field(nano_APMPBExperimentRequest_app_property_tag));
    REQUIRE(app);
    CHECK(NANOGetString(*app, field(nano_APMPBAppProperty_platform_tag)) == "ios");
    CHECK(NANOGetString(*app, field(nano_APMPBAppProperty_language_tag)) == "de-de");
    CHECK(NANOGetInt64(*app, field(nano_APMPBAppProperty_library_version_tag)) == 10000);
    CHECK(NANOHasField(*app, field(nano_APMPBAppProperty_app_environment_flag_tag)));
    CHECK_FALSE(NANOHasField(*app, field(nano_APMPBAppProperty_unused_2_tag)));
    const auto clients =
        NANOGetArray<APMPBClientProperty>(*request, field(nano_APMPBExperimentRequest_client_properties_tag));
    REQUIRE(clients.size() == 2);
    // By name: the SDK without a key of its own takes the identity's.
    CHECK(NANOGetString(clients[0], field(nano_APMPBClientProperty_diversion_id_tag)) == "abcde-doz_urerizarori");
    CHECK(NANOGetString(clients[1], field(nano_APMPBClientProperty_diversion_id_tag)) == "zyxwv-keyed");
    CHECK(NANOGetInt64(clients[0], field(nano_APMPBClientProperty_sdk_version_tag)) == 110100);

    SUBCASE("without any diversion key the client list stays unset") {
        f.builder->setIdentityDiversionKeyProvider(nullptr);
        APMEExperimentRequestBuilder alone;
        alone.addSDKProperty(f.clients[0]->SDKProperty());
        const auto bare = alone.request();
        CHECK(NANOGetArray<APMPBClientProperty>(bare, field(nano_APMPBExperimentRequest_client_properties_tag)).empty());
        CHECK(f.capture.hasCode(kAPMESDKPropertyNoDiversionKeyCode));
    }
}

TEST_CASE("one exchange over the loopback network: the POST to /sdk-exp and its gzip reply") {
    testsupport::LoopbackServer server;
    const auto response = responseWith({snapshotMessage(kSDK, {experimentMessage(9, {flag("color", "blue")})})}, {});
    const auto body = gzipped(response.protoBuffer());
    testsupport::ScriptedResponse reply;
    reply.body.assign(body.begin(), body.end());
    server.answer("/sdk-exp", reply);

    ExperimentsFixture f;
    // In place of the fixture's address, which only its scripted service
    // stands behind.
    testsupport::ScopedLaunchOptions address([&](platform::LaunchOptions& o) { o.experimentsServiceURL = server.url(""); });
    auto queue = platform::dispatch::makeSerialQueue("APMExperimentWorkerQueue");
    f.builder = std::make_shared<APMEExperimentRequestBuilder>();
    f.builder->setIdentityDiversionKeyProvider([] { return std::optional<std::string>("abcde"); });
    f.taskManager = std::make_shared<APMETaskManager>(
        queue, std::make_unique<APMAlarm>(queue, "APMExperimentAlarm"), APMEMakeExperimentsNetwork(),
        APMUserDefaults(kAPMEExperimentSuiteName), f.databasePath, f.time.now(), f.builder);
    f.manager = APMEManager::initWithTaskManager(f.taskManager);
    f.taskManager->startTaskManager();
    f.settle();
    f.registerSDK(kSDK);
    f.time.advance(10);
    REQUIRE(server.waitForRequests(1, 20));
    // The reply comes on a thread of the network's and waits on the worker
    // queue.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (f.timestamp(kAPMEFetchSuccessTimestampKey) == 0 && std::chrono::steady_clock::now() < deadline) {
        if (f.time.drain() == 0) std::this_thread::yield();
    }
    f.settle();
    const auto request = server.requests().at(0);
    CHECK(request.method == "POST");
    CHECK(request.path == "/sdk-exp");
    const auto sent = APMPBExperimentRequest::initWithBuffer(request.body);
    REQUIRE(sent);
    CHECK(NANOGetArray<APMPBClientProperty>(*sent, field(nano_APMPBExperimentRequest_client_properties_tag)).size() == 1);
    CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 10);
    CHECK(f.observer->newSnapshots == std::vector<std::string>{kSDK});
    REQUIRE(f.clients[0]->activateLatestSnapshot(nullptr));
    CHECK(f.clients[0]->valueForFlag(std::string("color")) == platform::Value("blue"));
    CHECK(f.manager->experimentIDs() == ids({9}));
}
