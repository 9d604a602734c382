#pragma once

// The decoder of encoded programs.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "measurement/foundation/messages.h"
#include "measurement/script/script_error.h"

namespace measurement {

// Decodes an encoded APMPBProgram. Undecodable bytes, and entities nested
// deeper than maxEntityDepth, fail with error 12. The nesting is checked on
// the wire first, so hostile depth never reaches the recursive decoder.
std::optional<APMPBProgram> APMPDecodeProgram(const std::uint8_t* bytes, std::size_t size, ScriptError& error,
                                              int maxEntityDepth = 512);

// The deepest entity nesting in an encoded APMPBProgram, read without
// recursion; -1 when the bytes are not a well-formed program.
int APMPProgramEntityDepth(const std::uint8_t* bytes, std::size_t size, int stopAbove);

}  // namespace measurement
