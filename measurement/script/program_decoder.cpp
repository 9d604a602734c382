// Decoding of encoded programs, with their nesting checked first.
#include "measurement/script/program_decoder.h"

#include <vector>

namespace measurement {

namespace {

enum class MessageKind { Program, Activities, Activity, Entity };

// Which fields of each message hold which submessage.
bool submessageOf(MessageKind parent, std::uint64_t field, MessageKind& child) {
    switch (parent) {
        case MessageKind::Program:
            if (field == nano_APMPBProgram_statements_tag) return child = MessageKind::Entity, true;
            if (field == nano_APMPBProgram_activities_tag) return child = MessageKind::Activities, true;
            return false;
        case MessageKind::Activities:
            if (field == nano_APMPBOgtActivities_activity_tag) return child = MessageKind::Activity, true;
            return false;
        case MessageKind::Activity:
            if (field == nano_APMPBOgtActivity_rules_tag) return child = MessageKind::Entity, true;
            return false;
        case MessageKind::Entity:
            if (field == nano_APMPBRuntimeEntity_entities_tag) return child = MessageKind::Entity, true;
            return false;
    }
    return false;
}

bool readVarint(const std::uint8_t* bytes, std::size_t end, std::size_t& pos, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (pos >= end) return false;
        const std::uint8_t byte = bytes[pos++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

}  // namespace

int APMPProgramEntityDepth(const std::uint8_t* bytes, std::size_t size, int stopAbove) {
    struct Frame {
        MessageKind kind;
        std::size_t end;
        int entityDepth;
    };
    std::vector<Frame> stack{{MessageKind::Program, size, 0}};
    int deepest = 0;
    std::size_t pos = 0;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (pos == frame.end) {
            stack.pop_back();
            continue;
        }
        std::uint64_t key = 0;
        if (!readVarint(bytes, frame.end, pos, key)) return -1;
        const std::uint64_t field = key >> 3;
        switch (key & 7) {
            case 0: {
                std::uint64_t ignored;
                if (!readVarint(bytes, frame.end, pos, ignored)) return -1;
                break;
            }
            case 1:
                if (frame.end - pos < 8) return -1;
                pos += 8;
                break;
            case 5:
                if (frame.end - pos < 4) return -1;
                pos += 4;
                break;
            case 2: {
                std::uint64_t length = 0;
                if (!readVarint(bytes, frame.end, pos, length) || length > frame.end - pos) return -1;
                MessageKind child;
                if (submessageOf(frame.kind, field, child)) {
                    const int depth = frame.entityDepth + (child == MessageKind::Entity ? 1 : 0);
                    if (depth > deepest) deepest = depth;
                    if (deepest > stopAbove) return deepest;
                    stack.push_back({child, pos + static_cast<std::size_t>(length), depth});
                } else {
                    pos += static_cast<std::size_t>(length);
                }
                break;
            }
            default:
                return -1;
        }
    }
    return deepest;
}

std::optional<APMPBProgram> APMPDecodeProgram(const std::uint8_t* bytes, std::size_t size, ScriptError& error,
                                              int maxEntityDepth) {
    const int depth = APMPProgramEntityDepth(bytes, size, maxEntityDepth);
    std::optional<APMPBProgram> program;
    if (depth >= 0 && depth <= maxEntityDepth) program = APMPBProgram::initWithBuffer(bytes, size);
    if (!program) error.fail(kAPMPErrorUnknownEntity);
    return program;
}

}  // namespace measurement
