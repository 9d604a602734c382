#include "platform/frameworks/material/tabs.h"

#include <algorithm>

#include "platform/frameworks/material/container.h"
#include "platform/gfx/graphics_context.h"
#include "platform/ui/label.h"

namespace platform::material {

TabItem::TabItem() : Button(gfx::Rect(0, 0, 100, TabBar::height)) {
    titleLabel()->setFont(gfx::Font::system(14, gfx::FontWeight::medium));
}

TabBar::TabBar() : ui::View(gfx::Rect(0, 0, 390, height)) { setBackgroundColor(gfx::Color::white()); }

void TabBar::setTabItems(std::vector<std::shared_ptr<TabItem>> items) {
    for (auto& item : items_) {
        if (item->superviewPointer() == this) item->removeFromSuperview();
    }
    items_ = std::move(items);
    for (auto& item : items_) addSubview(item);
    setNeedsLayout();
}

std::shared_ptr<TabItem> TabBar::selectedTabItem() const {
    if (selected_ < 0 || selected_ >= static_cast<int>(items_.size())) return nullptr;
    return items_[static_cast<std::size_t>(selected_)];
}

void TabBar::setSelectedIndex(int index) {
    selected_ = index;
    for (std::size_t i = 0; i < items_.size(); ++i) items_[i]->setSelected(static_cast<int>(i) == index);
    setNeedsDisplay();
}

void TabBar::setDividerColor(std::optional<gfx::Color> c) {
    dividerColor_ = std::move(c);
    setNeedsDisplay();
}

void TabBar::setLineColor(const gfx::Color& c) {
    lineColor_ = c;
    setNeedsDisplay();
}

void TabBar::setLineAlignment(TabBarLineAlignment a) {
    lineAlignment_ = a;
    setNeedsDisplay();
}

void TabBar::setLineHeight(double h) {
    lineHeight_ = std::max(0.0, h);
    setNeedsDisplay();
}

void TabBar::draw(const gfx::Rect&) {
    auto* context = gfx::GraphicsContext::current();
    if (!context) return;
    const gfx::Rect b(0, 0, bounds().width(), bounds().height());
    if (dividerColor_) {
        context->setFillColor(*dividerColor_);
        context->fill(gfx::Rect(0, b.height() - 1, b.width(), 1));
    }
    auto selected = selectedTabItem();
    if (!selected || lineHeight_ <= 0) return;
    const gfx::Rect item = selected->frame();
    const double y = lineAlignment_ == TabBarLineAlignment::top ? 0 : b.height() - lineHeight_;
    context->setFillColor(lineColor_);
    context->fill(gfx::Rect(item.minX(), y, item.width(), lineHeight_));
}

void TabBar::layoutSubviews() {
    ui::View::layoutSubviews();
    if (items_.empty()) return;
    double w = bounds().width() / static_cast<double>(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) {
        items_[i]->setFrame({w * static_cast<double>(i), 0, w, bounds().height()});
    }
    setNeedsDisplay();  // the selection line follows the items
}

void TabBar::describe(std::vector<std::string>& notes) const {
    notes.push_back("selectedTab=" + std::to_string(selected_));
    ui::View::describe(notes);
}

TabsController::TabsController(std::vector<std::shared_ptr<ui::ViewController>> viewControllers, int selectedIndex)
    : pages_(std::move(viewControllers)), tabBar_(std::make_shared<TabBar>()) {
    selected_ = pages_.empty() ? -1 : std::clamp(selectedIndex, 0, static_cast<int>(pages_.size()) - 1);
    for (auto& page : pages_) addChild(page);
    std::vector<std::shared_ptr<TabItem>> items;
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        auto item = tabItem(*pages_[i]);
        item->addTarget(
            [this, i](ui::Control&) { userSelected(static_cast<int>(i)); }, ui::controlEvent::touchUpInside,
            "selectTab");
        items.push_back(item);
    }
    tabBar_->setTabItems(std::move(items));
    tabBar_->setSelectedIndex(selected_);
}

TabsController::~TabsController() {
    for (auto& item : tabBar_->tabItems()) item->removeTargets(ui::controlEvent::allEvents);
    detail::unbindHost(*this);
}

std::shared_ptr<ui::ViewController> TabsController::selectedViewController() const {
    if (selected_ < 0 || selected_ >= static_cast<int>(pages_.size())) return nullptr;
    return pages_[static_cast<std::size_t>(selected_)];
}

void TabsController::loadView() {
    content_ = std::make_shared<ui::View>();
    setView(detail::makeHostView({content_, tabBar_}, [this] { layoutParts(); }));
    auto shown = selectedViewController();
    detail::installChild(*this, shown, *content_);
    for (auto& page : pages_) {
        if (page != shown) page->didMove(this);
    }
    layoutParts();
}

void TabsController::viewDidLoad() { prepare(); }

void TabsController::setTabBarAlignment(TabBarAlignment a) {
    alignment_ = a;
    layoutParts();
}

void TabsController::layoutParts() {
    auto host = viewIfLoaded();
    if (!host) return;
    gfx::Rect b = host->bounds();
    double h = alignment_ == TabBarAlignment::hidden ? 0 : TabBar::height;
    tabBar_->setHidden(alignment_ == TabBarAlignment::hidden);
    double barY = alignment_ == TabBarAlignment::bottom ? b.height() - h : 0;
    tabBar_->setFrame({0, barY, b.width(), h});
    double contentY = alignment_ == TabBarAlignment::top ? h : 0;
    content_->setFrame({0, contentY, b.width(), std::max(0.0, b.height() - h)});
    if (auto page = selectedViewController()) {
        if (auto v = page->viewIfLoaded()) v->setFrame({0, 0, content_->bounds().width(), content_->bounds().height()});
    }
}

void TabsController::select(int index) {
    if (index < 0 || index >= static_cast<int>(pages_.size()) || index == selected_) return;
    auto old = selectedViewController();
    selected_ = index;
    tabBar_->setSelectedIndex(index);
    if (!isViewLoaded()) return;
    auto next = selectedViewController();
    // the pages stay children; only their views change places
    bool visible = appearanceState() == ui::AppearanceState::appeared ||
                   appearanceState() == ui::AppearanceState::appearing;
    if (old && visible) old->beginAppearanceTransition(false, false);
    if (old) {
        if (auto v = old->viewIfLoaded()) v->removeFromSuperview();
    }
    auto v = next->view();
    v->setAutoresizingMask(ui::autoresizing::flexibleWidth | ui::autoresizing::flexibleHeight);
    content_->addSubview(v);
    layoutParts();
    if (visible) next->beginAppearanceTransition(true, false);
    if (old && visible) old->endAppearanceTransition();
    if (visible) next->endAppearanceTransition();
}

void TabsController::userSelected(int index) {
    if (index < 0 || index >= static_cast<int>(pages_.size())) return;
    auto page = pages_[static_cast<std::size_t>(index)];
    auto d = delegate();
    if (d && !d->shouldSelect(*this, *page)) return;
    if (d) d->willSelect(*this, *page);
    select(index);
    if (d) d->didSelect(*this, *page);
}

void TabsController::describe(std::vector<std::string>& notes) const {
    notes.push_back("selectedIndex=" + std::to_string(selected_));
    ui::ViewController::describe(notes);
}

std::shared_ptr<TabItem> tabItem(ui::ViewController& controller) {
    static const char* key = "material.tabItem";
    if (std::any* stored = controller.associatedObject(key)) {
        if (auto* item = std::any_cast<std::shared_ptr<TabItem>>(stored)) return *item;
    }
    auto item = std::make_shared<TabItem>();
    controller.setAssociatedObject(key, item);
    return item;
}

std::shared_ptr<TabsController> tabsController(const ui::ViewController& controller) {
    return detail::selfOrEnclosing<TabsController>(controller);
}

}  // namespace platform::material
