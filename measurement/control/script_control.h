#pragma once

// Measurement script programs as a program outside the engine handles them:
// assembled from their text form, run in a fresh runtime, or loaded as the
// engine's event-editing program and run on one event, with plain values in
// and out.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement::control {

// True when the bytes decode as an encoded program.
bool isEncodedProgram(const std::vector<std::uint8_t>& bytes);

// A program's text form assembled and encoded; `error` ("line N: what")
// when it does not assemble.
struct ProgramAssembly {
    std::vector<std::uint8_t> bytes;
    std::string error;
    bool ok() const { return error.empty(); }
};
ProgramAssembly assembleProgram(const std::string& text);

// An encoded program run in a fresh runtime: its last statement's value, or
// the error's domain and code, with the evaluations used.
struct ProgramRun {
    std::string value;
    std::optional<std::pair<std::string, long>> error;
    std::int64_t evaluations = 0;
};
ProgramRun runProgram(const std::vector<std::uint8_t>& bytes);

// Why an event in JSON cannot be handed to a program ({"name": ...,
// "timestamp": ..., "parameters": {...}}, every key optional; parameters of
// the engine's kinds); none when it can.
std::optional<std::string> eventProblem(const std::string& eventJSON);

// The program loaded as the engine's event-editing program, with the
// settings as its remote-configuration values, and run on the event.
struct EventEditingRun {
    // False when the event or the bytes cannot be read: nothing ran.
    bool readable = true;
    // What the engine would store, or why the program did not load
    // ({"error": ...}), as JSON-ready values.
    platform::Value output;
    bool succeeded = false;
};
EventEditingRun runEventEditing(const std::vector<std::uint8_t>& program, const std::string& eventJSON,
                                const std::map<std::string, std::string>& settings);

}  // namespace measurement::control
