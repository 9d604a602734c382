// Tests of the video player stand-in: loads recorded, readiness after the delay, replaced loads.
#include <doctest/doctest.h>

#include <cmath>

#include "platform/frameworks/video_player/yt_player_view.h"

using namespace platform;
using platform::video::YTPlayerView;

namespace {

struct Listener : video::YTPlayerViewDelegate {
    std::vector<std::string> readyVideos;
    void playerViewDidBecomeReady(YTPlayerView& player) override {
        readyVideos.push_back(player.currentLoad()->videoId);
    }
};

// Puts the process-wide delay back after a test changed it.
struct DelayScope {
    double saved = YTPlayerView::readyDelay();
    ~DelayScope() { YTPlayerView::setReadyDelay(saved); }
};

}  // namespace

TEST_CASE("the player records loads and becomes ready after the delay") {
    dispatch::ManualTime time;
    DelayScope delay;
    YTPlayerView::setReadyDelay(2);
    auto player = std::make_shared<YTPlayerView>(gfx::Rect(0, 0, 100, 100));
    auto listener = std::make_shared<Listener>();
    player->setDelegate(listener);

    SUBCASE("one load") {
        REQUIRE(player->loadWithVideoId("abcdefghijk", {{"start", Value("90")}, {"iv_load_policy", Value(1)}}));
        CHECK(player->startTime() == "90");
        CHECK(player->currentLoad()->playerVars.at("iv_load_policy") == Value(1));
        time.advance(1.9);
        CHECK_FALSE(player->isReady());
        CHECK(listener->readyVideos.empty());
        time.advance(0.1);
        CHECK(player->isReady());
        CHECK(listener->readyVideos == std::vector<std::string>{"abcdefghijk"});
    }
    SUBCASE("a second load replaces the first on its way") {
        player->loadWithVideoId("first000000");
        time.advance(1);
        player->loadWithVideoId("second00000");
        CHECK_FALSE(player->startTime());
        time.advance(1.5);
        CHECK(listener->readyVideos.empty());
        time.advance(0.5);
        CHECK(listener->readyVideos == std::vector<std::string>{"second00000"});
        CHECK(player->loads().size() == 2);
        player->loadWithVideoId("third000000");
        CHECK_FALSE(player->isReady());
    }
    SUBCASE("an empty identifier is refused") {
        CHECK_FALSE(player->loadWithVideoId(""));
        CHECK(player->loads().empty());
        time.advance(5);
        CHECK(listener->readyVideos.empty());
    }
    SUBCASE("a player gone before it was ready calls nobody") {
        player->loadWithVideoId("abcdefghijk");
        player.reset();
        time.advance(5);
        CHECK(listener->readyVideos.empty());
    }
    SUBCASE("the delay takes only finite, non-negative values") {
        for (double bad : {-1.0, std::nan(""), HUGE_VAL}) {
            YTPlayerView::setReadyDelay(bad);
            CHECK(YTPlayerView::readyDelay() == 2);
        }
        YTPlayerView::setReadyDelay(0);
        player->loadWithVideoId("abcdefghijk");
        time.settle();
        CHECK(player->isReady());
    }
}

TEST_CASE("the player's area shows the video's identifier and its state once a video is loaded") {
    dispatch::ManualTime time;
    DelayScope delay;
    YTPlayerView::setReadyDelay(1);
    auto player = std::make_shared<YTPlayerView>(gfx::Rect(0, 0, 160, 90));
    auto drawn = [&] {
        auto image = player->snapshotImage();
        REQUIRE(image);
        return image->drawing();
    };
    CHECK(drawn().empty());  // nothing loaded: nothing drawn
    player->loadWithVideoId("abcdefghijk");
    const auto loading = drawn();
    CHECK(loading.texts() == std::vector<std::string>{"abcdefghijk (loading)"});
    // the frame covers the whole area
    REQUIRE_FALSE(loading.ops().empty());
    CHECK(loading.ops().front().kind == gfx::DrawOp::Kind::fillRect);
    CHECK(loading.ops().front().rect == gfx::Rect(0, 0, 160, 90));
    time.advance(1);
    REQUIRE(player->isReady());
    CHECK(drawn().texts() == std::vector<std::string>{"abcdefghijk"});
}
