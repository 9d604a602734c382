#include "platform/frameworks/material/toolbar.h"

#include <algorithm>

#include "platform/frameworks/material/container.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"

namespace platform::material {

Toolbar::Toolbar()
    : ui::View(gfx::Rect(0, 0, 390, ToolbarController::toolbarHeight)), titleLabel_(std::make_shared<ui::Label>()),
      detailLabel_(std::make_shared<ui::Label>()) {
    setBackgroundColor(gfx::Color::white());
    titleLabel_->setTextAlignment(gfx::TextAlignment::center);
    titleLabel_->setFont(gfx::Font::system(17, gfx::FontWeight::medium));
    detailLabel_->setTextAlignment(gfx::TextAlignment::center);
    detailLabel_->setFont(gfx::Font::system(12));
    detailLabel_->setHidden(true);
    addSubview(titleLabel_);
    addSubview(detailLabel_);
}

std::optional<std::string> Toolbar::title() const {
    if (titleLabel_->text().empty()) return std::nullopt;
    return titleLabel_->text();
}

void Toolbar::setTitle(std::optional<std::string> title) {
    titleLabel_->setText(title.value_or(""));
    setNeedsLayout();
}

std::optional<std::string> Toolbar::detail() const {
    if (detailLabel_->text().empty()) return std::nullopt;
    return detailLabel_->text();
}

void Toolbar::setDetail(std::optional<std::string> detail) {
    detailLabel_->setText(detail.value_or(""));
    detailLabel_->setHidden(!detail || detail->empty());
    setNeedsLayout();
}

void Toolbar::replace(std::vector<std::shared_ptr<ui::View>>& list, std::vector<std::shared_ptr<ui::View>> views) {
    for (auto& v : list) {
        if (v->superviewPointer() == this) v->removeFromSuperview();
    }
    list = std::move(views);
    for (auto& v : list) addSubview(v);
    setNeedsLayout();
}

void Toolbar::setLeftViews(std::vector<std::shared_ptr<ui::View>> views) { replace(leftViews_, std::move(views)); }
void Toolbar::setRightViews(std::vector<std::shared_ptr<ui::View>> views) { replace(rightViews_, std::move(views)); }

void Toolbar::setContentEdgeInsets(const gfx::EdgeInsets& insets) {
    contentInsets_ = insets;
    setNeedsLayout();
}

// Left views from the left edge, right views (in list order) from the right
// edge, the title and detail in what is left between them.
void Toolbar::layoutSubviews() {
    ui::View::layoutSubviews();
    gfx::Rect content = gfx::inset(gfx::Rect(0, 0, bounds().width(), bounds().height()), contentInsets_);
    auto widthOf = [](const ui::View& v) {
        double w = v.frame().width();
        return w > 0 ? w : 44.0;
    };
    double left = content.minX();
    for (auto& v : leftViews_) {
        double w = widthOf(*v);
        v->setFrame({left, content.minY(), w, content.height()});
        left += w + interimSpace_;
    }
    double right = content.maxX();
    for (auto& v : rightViews_) {
        double w = widthOf(*v);
        right -= w;
        v->setFrame({right, content.minY(), w, content.height()});
        right -= interimSpace_;
    }
    double width = std::max(0.0, right - left);
    bool withDetail = !detailLabel_->isHidden();
    double titleHeight = withDetail ? content.height() * 0.6 : content.height();
    titleLabel_->setFrame({left, content.minY(), width, titleHeight});
    detailLabel_->setFrame({left, content.minY() + titleHeight, width, content.height() - titleHeight});
}

ToolbarController::ToolbarController(std::shared_ptr<ui::ViewController> rootViewController)
    : root_(std::move(rootViewController)), toolbar_(std::make_shared<Toolbar>()),
      statusBar_(std::make_shared<ui::View>()) {
    statusBar_->setBackgroundColor(gfx::Color::white());
    if (root_) addChild(root_);
}

void ToolbarController::loadView() {
    content_ = std::make_shared<ui::View>();
    setView(detail::makeHostView({content_, toolbar_, statusBar_}, [this] { layoutParts(); }));
    detail::installChild(*this, root_, *content_);
    layoutParts();
}

void ToolbarController::viewDidLoad() { prepare(); }

ToolbarController::~ToolbarController() { detail::unbindHost(*this); }

void ToolbarController::layoutParts() {
    auto host = viewIfLoaded();
    if (!host) return;
    gfx::Rect b = host->bounds();
    double statusHeight = host->window() ? host->window()->windowSafeAreaInsets().top
                                         : ui::Window::defaultSafeAreaInsets().top;
    statusBar_->setFrame({0, 0, b.width(), statusHeight});
    double top = statusBar_->isHidden() ? 0 : statusHeight;
    double height = toolbar_->frame().height() > 0 ? toolbar_->frame().height() : toolbarHeight;
    toolbar_->setFrame({0, top, b.width(), height});
    double below = top + height;
    content_->setFrame({0, below, b.width(), std::max(0.0, b.height() - below)});
    if (root_) {
        if (auto v = root_->viewIfLoaded()) v->setFrame({0, 0, content_->bounds().width(), content_->bounds().height()});
    }
}

void ToolbarController::transition(const std::shared_ptr<ui::ViewController>& to,
                                   std::function<void(bool)> completion, bool animated) {
    loadViewIfNeeded();
    auto old = root_;
    root_ = to;
    detail::swapChild(*this, *content_, old, to, animated, std::move(completion));
    layoutParts();
}

void ToolbarController::describe(std::vector<std::string>& notes) const {
    if (statusBarStyle_ == StatusBarStyle::lightContent) notes.push_back("statusBar=light");
    ui::ViewController::describe(notes);
}

std::shared_ptr<ToolbarController> toolbarController(const ui::ViewController& controller) {
    return detail::selfOrEnclosing<ToolbarController>(controller);
}

}  // namespace platform::material
