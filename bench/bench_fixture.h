#pragma once

// What the storage benchmarks share: a scratch folder per run and the
// application's own stream of stored events.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "measurement/foundation/event.h"
#include "measurement/upload/app_event_shapes.h"

namespace bench {

// A fresh folder for one run, removed afterwards.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& benchmark) {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("velmora-bench-" + benchmark + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Event i of a calculator session, one a second from start: half
// calculations, a fifth input errors, the rest screen views.
inline measurement::APMEvent calculatorSessionEvent(int i, double start) {
    using namespace measurement;
    const double timestamp = start + i * 1.0;
    switch (i % 10) {
        case 0: case 1: case 2: case 3: case 4:
            return APMEvent("app", true, "kuvo_calculate", timestamp, 0, upload_test::kuvoCalculateParameters());
        case 5: case 6:
            return APMEvent("app", true, "kuvo_got_error", timestamp, 0, upload_test::kuvoGotErrorParameters());
        default:
            return APMEvent("auto", false, "_vs", timestamp, 0, upload_test::screenViewParameters());
    }
}

}  // namespace bench
