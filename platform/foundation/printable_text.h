#pragma once

// Text from outside (a path, a name, a value given) made safe for a terminal.

#include <string>
#include <string_view>

namespace platform {

// The text as it may be printed: nothing in it can move the cursor, set the
// window's title, clear the screen or start a line of its own. Control
// characters (line breaks too), the C1 controls and bytes that are not
// UTF-8 are written as \xHH (a line break as \n, a tab as \t), and a
// backslash as \\; everything else, UTF-8 included, stays as it is.
std::string printable(std::string_view text);

// A block of a program's own lines, as a last guard for the terminal:
// every control byte but the line break, each C1 control and every byte
// that is not UTF-8 is written as \xHH. Backslashes stay, so that text
// already made printable reads the same.
std::string printableBlock(std::string_view block);

}  // namespace platform
