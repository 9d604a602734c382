#pragma once

// One-line summaries of the commands that run in programs of their own:
// shared by the program that runs each and by `velmora`, which lists them.

namespace tools::summaries {

inline constexpr const char* kApp = "Run the application headless, driven by a script or at a prompt";
inline constexpr const char* kCollector =
    "Serve the measurement exchanges on 127.0.0.1 and print what the engine uploads";

}  // namespace tools::summaries
