#pragma once

// Standard error written a whole line at a time: the engine's threads and
// the command's own messages never cut into each other's lines.

#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <unordered_map>

namespace tools {

// Sends each line written through it to a file descriptor in one write once
// its end ('\n') is written; until then each thread's part of a line waits
// apart from the others'. A flush of the stream sends nothing: the parts of a
// line that a stream writes one by one go out together.
class WholeLines : public std::streambuf {
public:
    explicit WholeLines(int descriptor) : descriptor_(descriptor) {}
    // Sends every part of a line still waiting, as it stands.
    void sendUnended();

protected:
    int_type overflow(int_type character) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

private:
    void send(const std::string& text) const;

    int descriptor_;
    std::mutex mutex_;
    std::unordered_map<std::thread::id, std::string> waiting_;
};

// std::cerr through a WholeLines of standard error for the rest of the
// process; what waits at its exit is sent then.
void writeStandardErrorInWholeLines();

}  // namespace tools
