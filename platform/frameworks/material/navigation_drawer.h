#pragma once

#include <functional>
#include <memory>

#include "platform/ui/view_controller.h"

namespace platform::material {

enum class DrawerPosition { left = 0, right = 1 };

class NavigationDrawerController;

// What the drawer tells its delegate; every callback defaults to nothing.
class NavigationDrawerControllerDelegate {
public:
    virtual ~NavigationDrawerControllerDelegate() = default;
    virtual void willOpen(NavigationDrawerController&, DrawerPosition) {}
    virtual void didOpen(NavigationDrawerController&, DrawerPosition) {}
    virtual void willClose(NavigationDrawerController&, DrawerPosition) {}
    virtual void didClose(NavigationDrawerController&, DrawerPosition) {}
    virtual void didBeginPan(NavigationDrawerController&, gfx::Point) {}
    virtual void didChangePan(NavigationDrawerController&, gfx::Point) {}
    virtual void didEndPan(NavigationDrawerController&, gfx::Point) {}
    virtual void didTap(NavigationDrawerController&, gfx::Point, DrawerPosition) {}
    virtual void statusBarHiddenStateDidChange(NavigationDrawerController&, bool) {}
};

// A root controller with side panels that slide over it. A closed panel is
// hidden; opening and closing apply at once and report didOpen / didClose on
// the main queue after the slide. While a panel is open a shade dims the root
// page beside it and takes every touch there: a tap on it closes the panel.
class NavigationDrawerController : public ui::ViewController {
public:
    NavigationDrawerController(std::shared_ptr<ui::ViewController> rootViewController,
                               std::shared_ptr<ui::ViewController> leftViewController,
                               std::shared_ptr<ui::ViewController> rightViewController = nullptr);

    const std::shared_ptr<ui::ViewController>& rootViewController() const { return root_; }
    const std::shared_ptr<ui::ViewController>& leftViewController() const { return left_; }
    const std::shared_ptr<ui::ViewController>& rightViewController() const { return right_; }
    double leftViewWidth() const { return leftWidth_; }
    void setLeftViewWidth(double width) { leftWidth_ = width; }
    double rightViewWidth() const { return rightWidth_; }
    void setRightViewWidth(double width) { rightWidth_ = width; }
    bool isLeftViewEnabled() const { return leftEnabled_; }
    void setLeftViewEnabled(bool enabled) { leftEnabled_ = enabled; }
    bool isRightViewEnabled() const { return rightEnabled_; }
    void setRightViewEnabled(bool enabled) { rightEnabled_ = enabled; }
    bool isLeftViewOpened() const { return leftOpened_; }
    bool isRightViewOpened() const { return rightOpened_; }

    void openLeftView(double velocity = 0);
    void closeLeftView(double velocity = 0);
    void toggleLeftView(double velocity = 0);
    void openRightView(double velocity = 0);
    void closeRightView(double velocity = 0);
    void toggleRightView(double velocity = 0);

    // A tap on the shade, at a point of the drawer's view: the open panel
    // closes and the delegate hears didTap, and nothing under the shade is
    // touched. False when no panel is open or the point lies on the panel.
    bool tapShade(gfx::Point point);

    // Replaces the root controller; the completion runs on the main queue
    // once the transition has finished.
    void transition(const std::shared_ptr<ui::ViewController>& to, std::function<void(bool)> completion = {},
                    bool animated = true);

    std::shared_ptr<NavigationDrawerControllerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<NavigationDrawerControllerDelegate>& d) { delegate_ = d; }

    // Called once, when the view has loaded.
    virtual void prepare() {}

    void loadView() override;
    void viewDidLoad() override;
    void describe(std::vector<std::string>& notes) const override;
    ~NavigationDrawerController() override;

private:
    void layoutParts();
    void slide(DrawerPosition position, bool open);

    std::shared_ptr<ui::ViewController> root_;
    std::shared_ptr<ui::ViewController> left_;
    std::shared_ptr<ui::ViewController> right_;
    std::shared_ptr<ui::View> content_;
    std::shared_ptr<ui::View> shade_;
    std::shared_ptr<ui::View> leftPanel_;
    std::shared_ptr<ui::View> rightPanel_;
    std::weak_ptr<NavigationDrawerControllerDelegate> delegate_;
    double leftWidth_ = 280;
    double rightWidth_ = 280;
    bool leftEnabled_ = true;
    bool rightEnabled_ = true;
    bool leftOpened_ = false;
    bool rightOpened_ = false;
};

// The drawer around a controller (itself included), if any.
std::shared_ptr<NavigationDrawerController> navigationDrawerController(const ui::ViewController& controller);

}  // namespace platform::material
