#pragma once

// What a program of the tool prints on its standard output, checked: a
// command whose output did not all get out (a full disk, a device that
// takes nothing) ends with status 1 and the system's reason, never with the
// status of work whose report nobody received.

#include <optional>
#include <string>

namespace tools {

// std::cout through a buffer of the tool's own for the rest of the process,
// which writes to standard output and keeps the reason of the first write
// that failed. After one has failed, the stream takes no more (it is left
// failed, so that a command may stop printing early), and nothing more is
// written.
void checkStandardOutputWrites();

// Sends what std::cout still holds; the system's reason for the first write
// to standard output that failed, none when everything printed got out.
std::optional<std::string> standardOutputFailure();

// The status a program ends with, once what it printed is sent: `status`
// when everything got out; otherwise the failure is said under `command`
// ("velmora analytics dump: what it printed could not all be written to
// its standard output: No space left on device") and the status is 1 (a
// failure the command has said already keeps its own status).
int finishStandardOutput(const std::string& command, int status);

}  // namespace tools
