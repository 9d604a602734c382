#include "platform/ui/index_path.h"

namespace platform::ui {

std::string describe(const IndexPath& path) { return std::to_string(path.section) + "," + std::to_string(path.row); }

}  // namespace platform::ui
