#pragma once
// The interface file "UnitCircleChartView": the circle, the pointer, the
// angle and coordinate labels and the replay button.

#include <memory>
#include <vector>

#include "platform/ui/view.h"

namespace velmora {

std::vector<std::shared_ptr<platform::ui::View>> buildUnitCircleNib(platform::ui::Responder* owner);

}  // namespace velmora
