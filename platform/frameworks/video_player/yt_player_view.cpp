// The embedded video player's stand-in: loads recorded, readiness on a timer of the main queue.
#include "platform/frameworks/video_player/yt_player_view.h"

#include <atomic>
#include <cmath>

namespace platform::video {

namespace {

std::atomic<double>& delaySetting() {
    static std::atomic<double> delay{0.5};
    return delay;
}

}  // namespace

YTPlayerView::~YTPlayerView() {
    if (pending_) pending_->cancel();
}

bool YTPlayerView::loadWithVideoId(const std::string& videoId, const Value::Dictionary& playerVars) {
    if (videoId.empty()) return false;
    if (pending_) pending_->cancel();
    loads_.push_back({videoId, playerVars});
    ready_ = false;
    std::weak_ptr<YTPlayerView> weak = sharedAs<YTPlayerView>();
    pending_ = dispatch::timers()->schedule(dispatch::mainQueuePointer(), readyDelay(), [weak] {
        if (auto self = weak.lock()) self->becomeReady();
    });
    return true;
}

void YTPlayerView::becomeReady() {
    pending_.reset();
    ready_ = true;
    if (auto d = delegate()) d->playerViewDidBecomeReady(*this);
}

std::optional<YTPlayerView::Load> YTPlayerView::currentLoad() const {
    if (loads_.empty()) return std::nullopt;
    return loads_.back();
}

std::optional<std::string> YTPlayerView::startTime() const {
    if (loads_.empty()) return std::nullopt;
    const Value* start = loads_.back().playerVars.count("start") ? &loads_.back().playerVars.at("start") : nullptr;
    if (!start || !start->isString()) return std::nullopt;
    return start->asString();
}

double YTPlayerView::readyDelay() { return delaySetting().load(); }

void YTPlayerView::setReadyDelay(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return;
    delaySetting().store(seconds);
}

void YTPlayerView::describe(std::vector<std::string>& notes) const {
    ui::View::describe(notes);
    if (auto load = currentLoad()) {
        std::string note = "video=" + load->videoId;
        if (auto start = startTime()) note += " start=" + *start;
        notes.push_back(note);
        notes.emplace_back(ready_ ? "ready" : "loading");
    }
}

}  // namespace platform::video
