// The screen as a person reads it: titles, texts, fields, LaTeX, table rows, what is presented.
#pragma once

#include <string>

namespace platform::ui {
class View;
class Window;
}  // namespace platform::ui

namespace velmora::runner {

// One line for each thing shown, indented under the page that shows it:
// the toolbar's title and buttons, the tab bar, labels, text fields with
// their text, LaTeX, buttons in brackets, table rows by section and row
// ("1.0 Community"), collection items, charts and videos. What is hidden is
// left out, and so are rows scrolled out of sight (counted instead). A
// presented page (an alert, the introduction) follows what it covers.
std::string describeScreen(const platform::ui::Window& window);
// The same for one view and what it holds.
std::string describeView(const platform::ui::View& view);

}  // namespace velmora::runner
