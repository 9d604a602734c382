// The embedded video player's stand-in: loads recorded, readiness on a timer of the main queue.
#include "platform/frameworks/video_player/yt_player_view.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/gfx/graphics_context.h"

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
    setNeedsDisplay();
    std::weak_ptr<YTPlayerView> weak = sharedAs<YTPlayerView>();
    pending_ = dispatch::timers()->schedule(dispatch::mainQueuePointer(), readyDelay(), [weak] {
        if (auto self = weak.lock()) self->becomeReady();
    });
    return true;
}

void YTPlayerView::becomeReady() {
    pending_.reset();
    ready_ = true;
    setNeedsDisplay();
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

void YTPlayerView::draw(const gfx::Rect&) {
    auto* context = gfx::GraphicsContext::current();
    auto load = currentLoad();
    if (!context || !load) return;
    const gfx::Rect b(0, 0, bounds().width(), bounds().height());
    context->setFillColor(gfx::Color::rgb(0.08, 0.08, 0.08));
    context->fill(b);
    // The play mark: a triangle in a disc, a fifth of the shorter side across.
    const double mark = std::min(b.width(), b.height()) / 5;
    const gfx::Point centre{b.width() / 2, b.height() / 2};
    context->setFillColor(gfx::Color::white(1, 0.25));
    context->fillEllipse(gfx::Rect(centre.x - mark, centre.y - mark, 2 * mark, 2 * mark));
    context->setFillColor(gfx::Color::white(1, 0.9));
    context->beginPath();
    context->moveTo({centre.x - mark * 0.35, centre.y - mark * 0.5});
    context->addLineTo({centre.x + mark * 0.55, centre.y});
    context->addLineTo({centre.x - mark * 0.35, centre.y + mark * 0.5});
    context->closePath();
    context->fillPath();
    const gfx::Font font = gfx::Font::system(12);
    const std::string caption = load->videoId + (ready_ ? "" : " (loading)");
    context->drawText(caption, gfx::Rect(8, b.height() - 24, std::max(0.0, b.width() - 16), 18), font,
                      gfx::Color::white(0.8), gfx::TextAlignment::left);
}

}  // namespace platform::video
