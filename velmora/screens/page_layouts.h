#pragma once

#include <memory>
#include <vector>

#include "platform/ui/view.h"

// The layouts of the pages' interface files, built in code: each makes the
// views, connects the owner's outlets and the actions, and answers the root.
namespace velmora {

class CalculateViewController;
class HistoryTableViewController;
class RatingViewController;
class SolutionViewController;

std::shared_ptr<platform::ui::View> layoutCalculatePage(CalculateViewController& page);
std::shared_ptr<platform::ui::View> layoutSolutionPage(SolutionViewController& page);
std::shared_ptr<platform::ui::View> layoutHistoryScreen(HistoryTableViewController& screen);
// The interface file "RatingViewController"; the owner may be absent.
std::vector<std::shared_ptr<platform::ui::View>> layoutRatingPrompt(RatingViewController* owner);

}  // namespace velmora
