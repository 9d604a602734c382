// Standard output written through a buffer that keeps why a write failed.
#include "tools/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <vector>

#include "tools/option_values.h"

namespace tools {

namespace {

// As much as the dump's largest entries, so that a long output takes few
// writes.
constexpr std::size_t kBufferBytes = 64 * 1024;

// A stream buffer over a file descriptor that remembers the first write the
// system refused. The engine's threads and the collector's may print at
// once: each operation holds the lock.
class CheckedOutput : public std::streambuf {
public:
    explicit CheckedOutput(int descriptor) : descriptor_(descriptor) { pending_.reserve(kBufferBytes); }

    std::optional<std::string> failure() {
        std::lock_guard lock(mutex_);
        sendLocked();
        return failure_;
    }

protected:
    int_type overflow(int_type character) override {
        if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(character);
        const char c = traits_type::to_char_type(character);
        return xsputn(&c, 1) == 1 ? character : traits_type::eof();
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        std::lock_guard lock(mutex_);
        if (failure_) return 0;
        pending_.insert(pending_.end(), text, text + count);
        if (pending_.size() >= kBufferBytes) sendLocked();
        return failure_ ? 0 : count;
    }

    int sync() override {
        std::lock_guard lock(mutex_);
        sendLocked();
        return failure_ ? -1 : 0;
    }

private:
    // Writes what waits; what a failed write left is dropped with it, as
    // nothing after it could reach the reader in its place.
    void sendLocked() {
        std::size_t done = 0;
        while (!failure_ && done < pending_.size()) {
            const ssize_t written = ::write(descriptor_, pending_.data() + done, pending_.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                failure_ = written < 0 ? std::strerror(errno) : "the output took no more bytes";
                break;
            }
            done += static_cast<std::size_t>(written);
        }
        pending_.clear();
    }

    const int descriptor_;
    std::mutex mutex_;
    std::vector<char> pending_;
    std::optional<std::string> failure_;
};

CheckedOutput* installed = nullptr;

}  // namespace

void checkStandardOutputWrites() {
    if (installed) return;
    // Lives for the whole process: std::cout is flushed as the process
    // exits, after every other object.
    installed = new CheckedOutput(STDOUT_FILENO);
    std::cout.rdbuf(installed);
}

std::optional<std::string> standardOutputFailure() {
    std::cout.flush();
    return installed ? installed->failure() : std::nullopt;
}

int finishStandardOutput(const std::string& command, int status) {
    const auto failure = standardOutputFailure();
    if (!failure) return status;
    sayError(command, "what it printed could not all be written to its standard output: " + *failure);
    return status == 0 ? 1 : status;
}

}  // namespace tools
