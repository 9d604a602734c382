#pragma once

// The platform's stack container and pager.

#include <functional>
#include <memory>
#include <vector>

#include "platform/ui/view_controller.h"

namespace platform::ui {

// Shows the top of a stack of child controllers. Push and pop change the
// top at once (children, views, the appearance calls begun); the
// appearance calls finish on the clock like a presentation's (0.3 s
// animated, the next turn of the main queue otherwise). The controllers of
// the stack are its children; the bottom one is the root.
class NavigationController : public ViewController {
public:
    NavigationController() = default;
    explicit NavigationController(const std::shared_ptr<ViewController>& root);

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }
    std::shared_ptr<ViewController> topViewController() const;
    // What the top presents, else the top.
    std::shared_ptr<ViewController> visibleViewController() const;

    // A controller already in the stack or shown elsewhere as a child is
    // refused with a console message.
    void pushViewController(const std::shared_ptr<ViewController>& controller, bool animated);
    // None when only the root is left.
    std::shared_ptr<ViewController> popViewController(bool animated);
    std::vector<std::shared_ptr<ViewController>> popToRootViewController(bool animated);

    void viewDidLoad() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    // Replaces the shown controller; the appearance calls finish together.
    void transition(const std::shared_ptr<ViewController>& from, const std::shared_ptr<ViewController>& to,
                    bool animated);
    void showTopView();

    std::vector<std::shared_ptr<ViewController>> stack_;
};

// Shows the first of its controllers, a page at a time; setting the
// controllers replaces the shown page at once.
class PageViewController : public ViewController {
public:
    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return pages_; }
    void setViewControllers(const std::vector<std::shared_ptr<ViewController>>& controllers, bool animated);

    void viewDidLoad() override;

private:
    void showFirstView();

    std::vector<std::shared_ptr<ViewController>> pages_;
};

}  // namespace platform::ui
