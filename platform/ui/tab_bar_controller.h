#pragma once

#include <memory>
#include <vector>

#include "platform/ui/view_controller.h"

namespace platform::ui {

// The platform's own tab container: shows the selected child's view.
class TabBarController : public ViewController {
public:
    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return tabs_; }
    void setViewControllers(const std::vector<std::shared_ptr<ViewController>>& controllers);
    int selectedIndex() const { return selected_; }
    void setSelectedIndex(int index);
    std::shared_ptr<ViewController> selectedViewController() const;

    void viewDidLoad() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    void show(int index);
    // Puts the selected controller's view in this one's, filling it.
    void showSelectedView();
    std::vector<std::shared_ptr<ViewController>> tabs_;
    int selected_ = -1;
};

}  // namespace platform::ui
