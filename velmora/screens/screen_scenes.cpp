// The pages' storyboard scenes and nibs.
#include "velmora/screens/screen_scenes.h"

#include "platform/ui/storyboard.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/field_error_display.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/screens/input_table_view_cells.h"
#include "velmora/screens/page_layouts.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/screens/solution_view_controller.h"

namespace velmora {

namespace {

// A storyboard scene: the controller made anew, its view from the layout.
template <class Page>
void registerScene(const char* storyboard, const char* identifier,
                   std::shared_ptr<platform::ui::View> (*layout)(Page&)) {
    platform::ui::Storyboard::registerScene(storyboard, identifier, [layout] {
        auto page = std::make_shared<Page>();
        page->setStoryboardName(Page::storyboardName);
        page->setViewLoader([layout](platform::ui::ViewController& owner) { return layout(static_cast<Page&>(owner)); });
        return page;
    });
}

}  // namespace

void registerScreenScenes() {
    registerScene<CalculateViewController>(CalculateViewController::storyboardName,
                                           CalculateViewController::storyboardIdentifier, layoutCalculatePage);
    registerScene<HistoryTableViewController>(HistoryTableViewController::storyboardName,
                                              HistoryTableViewController::storyboardIdentifier, layoutHistoryScreen);
    registerScene<SolutionViewController>(SolutionViewController::storyboardName,
                                          SolutionViewController::storyboardIdentifier, layoutSolutionPage);
    platform::ui::Nib::registerNib(RatingViewController::nibName, [](platform::ui::Responder* owner) {
        return layoutRatingPrompt(dynamic_cast<RatingViewController*>(owner));
    });
    registerInputCellNibs();
    installScreenErrorPresenter();
}

}  // namespace velmora
