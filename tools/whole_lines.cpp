// Standard error written a whole line at a time.
#include "tools/whole_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace tools {

WholeLines::int_type WholeLines::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(character);
    const char c = traits_type::to_char_type(character);
    xsputn(&c, 1);
    return character;
}

std::streamsize WholeLines::xsputn(const char* text, std::streamsize count) {
    std::lock_guard lock(mutex_);
    const auto thread = std::this_thread::get_id();
    std::string& line = waiting_[thread];
    line.append(text, static_cast<std::size_t>(count));
    const auto end = line.rfind('\n');
    if (end != std::string::npos) {
        send(line.substr(0, end + 1));
        line.erase(0, end + 1);
    }
    // Threads come and go: only those halfway through a line are kept.
    if (line.empty()) waiting_.erase(thread);
    return count;
}

void WholeLines::sendUnended() {
    std::lock_guard lock(mutex_);
    for (const auto& [thread, line] : waiting_) send(line);
    waiting_.clear();
}

// Under the lock: one line's write never meets another's.
void WholeLines::send(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(descriptor_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

void writeStandardErrorInWholeLines() {
    // Lives for the whole process: the engine's queues may still write while
    // it exits.
    static auto* lines = new WholeLines(STDERR_FILENO);
    std::cerr.rdbuf(lines);
    std::atexit([] { lines->sendUnended(); });
}

}  // namespace tools
