#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/frameworks/material/buttons.h"
#include "platform/ui/view_controller.h"

namespace platform::material {

// A page's entry in a tab bar: a button with the page's title.
class TabItem : public Button {
public:
    TabItem();
};

enum class TabBarAlignment { top = 0, bottom = 1, hidden = 2 };
enum class TabBarLineAlignment { top = 0, bottom = 1 };

// The row of tab items with a line under (or over) the selected one, and a
// divider along its bottom edge when it has a divider colour.
class TabBar : public ui::View {
public:
    static constexpr double height = 49;

    TabBar();
    const std::vector<std::shared_ptr<TabItem>>& tabItems() const { return items_; }
    void setTabItems(std::vector<std::shared_ptr<TabItem>> items);
    std::shared_ptr<TabItem> selectedTabItem() const;
    void setSelectedIndex(int index);
    const std::optional<gfx::Color>& dividerColor() const { return dividerColor_; }
    void setDividerColor(std::optional<gfx::Color> c);
    const gfx::Color& lineColor() const { return lineColor_; }
    void setLineColor(const gfx::Color& c);
    TabBarLineAlignment lineAlignment() const { return lineAlignment_; }
    void setLineAlignment(TabBarLineAlignment a);
    double lineHeight() const { return lineHeight_; }
    void setLineHeight(double h);

    void layoutSubviews() override;
    void draw(const gfx::Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

private:
    std::vector<std::shared_ptr<TabItem>> items_;
    int selected_ = -1;
    std::optional<gfx::Color> dividerColor_ = gfx::Color::systemGray4();
    gfx::Color lineColor_ = gfx::Color::systemBlue();
    TabBarLineAlignment lineAlignment_ = TabBarLineAlignment::bottom;
    double lineHeight_ = 3;
};

class TabsController;

class TabsControllerDelegate {
public:
    virtual ~TabsControllerDelegate() = default;
    virtual bool shouldSelect(TabsController&, ui::ViewController&) { return true; }
    virtual void willSelect(TabsController&, ui::ViewController&) {}
    virtual void didSelect(TabsController&, ui::ViewController&) {}
};

// Pages behind a tab bar; only the selected page's view is shown. A tap on
// an enabled tab item asks the delegate, then selects; select(at:) selects
// directly.
class TabsController : public ui::ViewController {
public:
    TabsController(std::vector<std::shared_ptr<ui::ViewController>> viewControllers, int selectedIndex = 0);

    const std::vector<std::shared_ptr<ui::ViewController>>& viewControllers() const { return pages_; }
    int selectedIndex() const { return selected_; }
    std::shared_ptr<ui::ViewController> selectedViewController() const;
    void select(int index);
    const std::shared_ptr<TabBar>& tabBar() const { return tabBar_; }
    TabBarAlignment tabBarAlignment() const { return alignment_; }
    void setTabBarAlignment(TabBarAlignment a);
    std::shared_ptr<TabsControllerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<TabsControllerDelegate>& d) { delegate_ = d; }

    // Called once, when the view has loaded.
    virtual void prepare() {}

    void loadView() override;
    void viewDidLoad() override;
    void describe(std::vector<std::string>& notes) const override;
    ~TabsController() override;

private:
    void layoutParts();
    void userSelected(int index);

    std::vector<std::shared_ptr<ui::ViewController>> pages_;
    int selected_ = 0;
    std::shared_ptr<TabBar> tabBar_;
    std::shared_ptr<ui::View> content_;
    TabBarAlignment alignment_ = TabBarAlignment::bottom;
    std::weak_ptr<TabsControllerDelegate> delegate_;
};

// A page's tab item, made on first use and kept with the page.
std::shared_ptr<TabItem> tabItem(ui::ViewController& controller);
// The tabs controller around a controller (itself included), if any.
std::shared_ptr<TabsController> tabsController(const ui::ViewController& controller);

}  // namespace platform::material
