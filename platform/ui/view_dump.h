#pragma once

#include <string>

namespace platform::ui {

class View;
class Window;

// A text dump of a view tree, one view a line, indented by depth:
//   ClassName (x y w h) notes... <ControllerName notes...>
// The notes are each view's describe(): texts, titles, LaTeX, states, ids.
// A hidden view's line is kept but its subviews are left out. A window's
// dump ends with its presented controllers and its first responder.
std::string dumpView(const View& view);
std::string dumpWindow(const Window& window);

}  // namespace platform::ui
