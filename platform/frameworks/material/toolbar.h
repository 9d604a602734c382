#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/label.h"
#include "platform/ui/view_controller.h"

namespace platform::material {

namespace detail {
class LayoutHostView;
}

// A bar with views on the left and right and a title with a detail line
// between them.
class Toolbar : public ui::View {
public:
    Toolbar();

    const std::shared_ptr<ui::Label>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<ui::Label>& detailLabel() const { return detailLabel_; }
    std::optional<std::string> title() const;
    void setTitle(std::optional<std::string> title);
    std::optional<std::string> detail() const;
    void setDetail(std::optional<std::string> detail);
    const std::vector<std::shared_ptr<ui::View>>& leftViews() const { return leftViews_; }
    void setLeftViews(std::vector<std::shared_ptr<ui::View>> views);
    const std::vector<std::shared_ptr<ui::View>>& rightViews() const { return rightViews_; }
    void setRightViews(std::vector<std::shared_ptr<ui::View>> views);
    const gfx::EdgeInsets& contentEdgeInsets() const { return contentInsets_; }
    void setContentEdgeInsets(const gfx::EdgeInsets& insets);
    double interimSpace() const { return interimSpace_; }
    void setInterimSpace(double space) { interimSpace_ = space; setNeedsLayout(); }

    void layoutSubviews() override;

private:
    void replace(std::vector<std::shared_ptr<ui::View>>& list, std::vector<std::shared_ptr<ui::View>> views);

    std::shared_ptr<ui::Label> titleLabel_;
    std::shared_ptr<ui::Label> detailLabel_;
    std::vector<std::shared_ptr<ui::View>> leftViews_;
    std::vector<std::shared_ptr<ui::View>> rightViews_;
    gfx::EdgeInsets contentInsets_{0, 8, 0, 8};
    double interimSpace_ = 8;
};

enum class StatusBarStyle { defaultStyle = 0, lightContent = 1, darkContent = 3 };

// A status bar area, a toolbar and a root controller below them.
class ToolbarController : public ui::ViewController {
public:
    static constexpr double toolbarHeight = 56;

    explicit ToolbarController(std::shared_ptr<ui::ViewController> rootViewController);

    const std::shared_ptr<ui::ViewController>& rootViewController() const { return root_; }
    const std::shared_ptr<Toolbar>& toolbar() const { return toolbar_; }
    const std::shared_ptr<ui::View>& statusBar() const { return statusBar_; }
    StatusBarStyle statusBarStyle() const { return statusBarStyle_; }
    void setStatusBarStyle(StatusBarStyle style) { statusBarStyle_ = style; }

    // Replaces the root controller; the completion runs on the main queue
    // once the transition has finished.
    void transition(const std::shared_ptr<ui::ViewController>& to, std::function<void(bool)> completion = {},
                    bool animated = true);

    // Called once, when the view has loaded: where subclasses style the bars.
    virtual void prepare() {}

    void loadView() override;
    void viewDidLoad() override;
    void describe(std::vector<std::string>& notes) const override;
    ~ToolbarController() override;

private:
    void layoutParts();

    std::shared_ptr<ui::ViewController> root_;
    std::shared_ptr<Toolbar> toolbar_;
    std::shared_ptr<ui::View> statusBar_;
    std::shared_ptr<ui::View> content_;
    StatusBarStyle statusBarStyle_ = StatusBarStyle::defaultStyle;
};

// The toolbar controller around a controller (itself included), if any.
std::shared_ptr<ToolbarController> toolbarController(const ui::ViewController& controller);

}  // namespace platform::material
