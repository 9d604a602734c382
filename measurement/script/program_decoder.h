#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "measurement/proto/runtime.pb.h"
#include "measurement/script/script_error.h"

namespace measurement {

// A decoded APMPBProgram. The message owns what the decoder allocated and
// releases it with the message.
class APMPDecodedProgram {
public:
    ~APMPDecodedProgram();
    APMPDecodedProgram(const APMPDecodedProgram&) = delete;
    APMPDecodedProgram& operator=(const APMPDecodedProgram&) = delete;

    // Undecodable bytes, and entities nested deeper than maxEntityDepth,
    // fail with error 12. The nesting is checked on the wire before the
    // recursive decoder runs, so hostile depth never reaches it.
    static std::unique_ptr<APMPDecodedProgram> decode(const std::uint8_t* bytes, std::size_t size,
                                                      ScriptError& error, int maxEntityDepth = 512);

    const nano_APMPBProgram& program() const { return program_; }

private:
    APMPDecodedProgram() = default;
    nano_APMPBProgram program_ = nano_APMPBProgram_init_zero;
};

// The deepest entity nesting in an encoded APMPBProgram, read without
// recursion; -1 when the bytes are not a well-formed program.
int APMPProgramEntityDepth(const std::uint8_t* bytes, std::size_t size, int stopAbove);

}  // namespace measurement
