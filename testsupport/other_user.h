#pragma once

// Acting as a user the system holds to files' modes, where the tests run as
// root (as CI runs them), whom every mode lets through: a program or a piece
// of work run as user nobody.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The user the tests switch to where they run as root.
inline constexpr uid_t kOtherUser = 65534;

// The folder and what lies beneath it given to that user.
void giveToOtherUser(const std::filesystem::path& folder);

// Makes a folder every user may enter and lets the test run as root: its
// mode opened to all, as the system's temporary folder is.
void openToOtherUsers(const std::filesystem::path& folder);

// The programs of `built` named, side by side in a folder every user may
// enter (linked where the file system allows it, else copied), since the
// build may lie in one only its owner can (a home folder of mode 700);
// made once a process for each set asked. The folder's path.
std::filesystem::path programsForOtherUsers(const std::filesystem::path& built, const std::vector<std::string>& names);

struct OtherUserRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs argv as the other user (through setpriv, groups cleared), with the
// variables before the test's environment (less the entries whose name
// starts with droppedPrefix, as environmentWith), its output kept in `logs`
// under `tag`; up to `limitSeconds`. None, with *why, where this process
// cannot switch users: it does not run as root, or setpriv is not
// installed.
std::optional<OtherUserRun> runAsOtherUser(const std::vector<std::string>& argv, const std::vector<std::string>& variables,
                                           const std::filesystem::path& logs, const std::string& tag, double limitSeconds,
                                           std::string* why, const std::string& droppedPrefix = "");

// Runs `work` in a child process held to files' modes: as this user, or as
// the other one where the tests run as root, and hands back the text it
// answers. The work must not use the test's checks (they are the child's);
// it says what it found in its text. None, with *why, where the child could
// not switch or did not end well within `limitSeconds`.
std::optional<std::string> inChildHeldToModes(const std::function<std::string()>& work, double limitSeconds,
                                              std::string* why);

}  // namespace testsupport
