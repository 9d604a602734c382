// The embedded video player: records what it is asked to load and reports readiness on the main queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/timer.h"
#include "platform/foundation/value.h"
#include "platform/ui/view.h"

namespace platform::video {

class YTPlayerView;

class YTPlayerViewDelegate {
public:
    virtual ~YTPlayerViewDelegate() = default;
    // The loaded video can be played.
    virtual void playerViewDidBecomeReady(YTPlayerView&) {}
};

// A view that plays one video of the video site by its identifier, with
// player variables ("start", "iv_load_policy", ...). Nothing is fetched or
// played here: each load is recorded, and the player reports ready on the
// main queue after the process-wide ready delay, measured on the process
// clock. A new load replaces the one still on its way. Main thread only.
class YTPlayerView : public ui::View {
public:
    struct Load {
        std::string videoId;
        Value::Dictionary playerVars;
        bool operator==(const Load&) const = default;
    };

    using ui::View::View;
    ~YTPlayerView() override;

    // Starts loading; answers false, and records nothing, for an empty
    // identifier (the player would have nothing to ask for).
    bool loadWithVideoId(const std::string& videoId, const Value::Dictionary& playerVars = {});

    // Every load asked of this player, oldest first.
    const std::vector<Load>& loads() const { return loads_; }
    std::optional<Load> currentLoad() const;
    // The current load's "start" variable as text, if it has one.
    std::optional<std::string> startTime() const;
    bool isReady() const { return ready_; }

    std::shared_ptr<YTPlayerViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<YTPlayerViewDelegate>& delegate) { delegate_ = delegate; }

    // How long a load takes until the player is ready (default 0.5 s);
    // negative or non-finite values are ignored.
    static double readyDelay();
    static void setReadyDelay(double seconds);

    void describe(std::vector<std::string>& notes) const override;
    // Where the video would show, once one is loaded: a dark frame with a
    // play mark and the video's identifier, so a picture of the screen shows
    // what is there. No picture of the video itself.
    void draw(const gfx::Rect& rect) override;

private:
    void becomeReady();

    std::vector<Load> loads_;
    bool ready_ = false;
    std::shared_ptr<dispatch::Timer> pending_;
    std::weak_ptr<YTPlayerViewDelegate> delegate_;
};

}  // namespace platform::video
