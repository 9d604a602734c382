#pragma once

// What a command says, as it ends, of the preferences it could not keep.

#include <string>

namespace tools {

// A command that would end with status 0 while preferences it changed are
// not in their files (a folder that takes no write, a full disk) says so
// under its name, in one line, with the first file and why, and answers 1:
// the next start would not find what this run set (a consent, the
// introduction seen). Any other status stands, as the command has said
// what it could not do.
int reportUnkeptPreferences(const std::string& command, int status);

}  // namespace tools
