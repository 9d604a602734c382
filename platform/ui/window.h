#pragma once

#include <memory>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

class ViewController;
class WindowScene;

// The top of a view tree: holds the root controller, presented controllers'
// views, the first responder and the safe-area insets; shown in a scene.
class Window : public View {
public:
    // A window of the main screen's size.
    Window();
    explicit Window(const Rect& frame);
    ~Window() override;

    std::shared_ptr<ViewController> rootViewController() const { return root_; }
    // Installs the controller's view to fill the window; when the window is
    // visible the old root disappears and the new one appears.
    void setRootViewController(const std::shared_ptr<ViewController>& controller);

    // Posted on the default notification centre when a window stops being
    // its scene's key window because another became key; the object is the
    // window that resigned.
    static constexpr const char* didResignKeyNotification = "UIWindowDidResignKeyNotification";

    // Shows the window in its scene (the first connected scene when it has
    // none yet) and makes it the key window there.
    void makeKeyAndVisible();
    void makeKey();
    bool isKeyWindow() const;
    bool isVisible() const { return visible_; }
    std::shared_ptr<WindowScene> windowScene() const { return scene_.lock(); }
    void setWindowScene(const std::shared_ptr<WindowScene>& scene);

    Responder* firstResponder() const;
    bool makeFirstResponder(Responder* responder);
    void clearFirstResponder();
    // A text field is being edited without an input view of its own.
    bool isSystemKeyboardVisible() const;
    // A text field is being edited and its input assistant has bar buttons.
    bool isShortcutBarVisible() const;

    const EdgeInsets& windowSafeAreaInsets() const { return safeArea_; }
    void setWindowSafeAreaInsets(const EdgeInsets& insets) { safeArea_ = insets; }
    static EdgeInsets defaultSafeAreaInsets();
    static void setDefaultSafeAreaInsets(const EdgeInsets& insets);

    // The root controller and then each controller it presents, in order.
    std::vector<std::shared_ptr<ViewController>> presentationChain() const;
    // The last of the presentation chain.
    std::shared_ptr<ViewController> topViewController() const;

    void describe(std::vector<std::string>& notes) const override;

private:
    std::shared_ptr<ViewController> root_;
    std::weak_ptr<WindowScene> scene_;
    std::weak_ptr<Responder> firstResponderRef_;
    Responder* firstResponder_ = nullptr;
    EdgeInsets safeArea_;
    bool visible_ = false;
};

}  // namespace platform::ui
