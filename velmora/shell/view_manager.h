// Window-level view operations: the key window, the loading overlay, toasts and segment images.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform::ui {
class Label;
class View;
class Window;
}  // namespace platform::ui

namespace velmora {

// No state: every operation looks the window up anew. Views are touched on
// the main thread only; the ...OnMain variants are for callers elsewhere.
class ViewManager {
public:
    static constexpr int loadingOverlayTag = 8989;
    static constexpr double toastDuration = 3.0;      // shown in full
    static constexpr double toastFadeDuration = 2.0;  // then faded out

    // The first window of the first connected scene; none without one.
    static std::shared_ptr<platform::ui::Window> keyWindow();

    // Adds the dimming overlay with its spinner over that window, unless it
    // is there already (at most one).
    static void showLoadingOverlay();
    static void hideLoadingOverlay();
    // Queue the operation on the main queue and return at once.
    static void showLoadingOverlayOnMain();
    static void hideLoadingOverlayOnMain();

    // Shows the message near the bottom of the key window's root page for
    // three seconds, then fades it out over two and removes it: an opaque
    // rounded label whose text keeps clear of its edges; a message longer
    // than one line makes the toast taller, upwards. Nothing is shown
    // without a key window, root page or loaded root view.
    static void showToast(const std::string& message);
    static void fadeOutToast(const std::shared_ptr<platform::ui::Label>& toast);

    // Every image view in the segmented controls of the tree becomes
    // aspect-fit. Only plain views and stack views (not their subclasses)
    // are entered.
    static void setSegmentImagesAspectFit(platform::ui::View& view);
    // The subviews of each subview: two levels down.
    static std::vector<std::shared_ptr<platform::ui::View>> collectSubviews(const platform::ui::View& view);
};

}  // namespace velmora
