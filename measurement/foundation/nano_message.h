#pragma once

// NANOMessage: protocol-buffer messages and their generic field accessors.

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace measurement {

using NANOBytes = std::vector<std::uint8_t>;

// Monitor codes of the message layer.
enum : long {
    kNANOFieldTypeMismatchCode = 27000,
    kNANOUninitializedMessageCode = 27001,
    kNANOFieldIndexOutOfRangeCode = 27002,
    kNANOEncodeFailureCode = 27003,
    kNANOUnsupportedValueCode = 27004,
};

// How many levels sub-messages may nest below the message being decoded.
// The decoder recurses once a level, so bytes from outside (a fetched
// configuration, a stored row) that nest deeper are refused before they reach
// it instead of exhausting the stack. The engine's deepest messages, the
// programs of a configuration, nest a few levels more than their 512 levels
// of entities.
inline constexpr int kNANOMaxNestingDepth = 1024;

// Whether bytes of the given message type nest within kNANOMaxNestingDepth;
// for code that runs the decoder itself, which must ask first.
bool NANONestsWithinLimit(const pb_msgdesc_t* descriptor, std::size_t structSize, const std::uint8_t* bytes,
                          std::size_t size);

// A protocol-buffer message over its nanopb structure. Strings, repeated
// fields and sub-messages are allocated on the heap (nanopb pointer fields),
// so no message has a fixed size limit. Messages are values: copies are
// deep. A moved-from message is uninitialised; the accessors log and answer
// nothing for it.
class NANOMessageBase {
public:
    virtual ~NANOMessageBase();
    NANOMessageBase(const NANOMessageBase& other);
    NANOMessageBase& operator=(const NANOMessageBase& other);
    NANOMessageBase(NANOMessageBase&& other) noexcept;
    NANOMessageBase& operator=(NANOMessageBase&& other) noexcept;

    const pb_msgdesc_t* descriptor() const { return descriptor_; }
    bool isInitialized() const { return message_ != nullptr; }

    // The encoded bytes; empty for an empty message, and (logged) when the
    // message cannot be encoded or was never initialised.
    NANOBytes protoBuffer() const;
    // The nanopb structure, for code that reads fields by name.
    void* messageInfo() { return message_; }
    const void* messageInfo() const { return message_; }
    // Replaces the content with a deep copy of a structure of this message's
    // type; no structure empties the message. False when it cannot be copied.
    bool setFromMessageInfo(const void* info);
    // Replaces the content with the decoded bytes; on failure (bytes that do
    // not decode or nest deeper than kNANOMaxNestingDepth) the message is left
    // as it was and false is answered.
    bool decodeBuffer(const std::uint8_t* bytes, std::size_t size);

    // Same type and same encoding.
    bool operator==(const NANOMessageBase& other) const;

protected:
    // An empty message of the given type.
    NANOMessageBase(const pb_msgdesc_t* descriptor, std::size_t structSize);

private:
    void release();

    const pb_msgdesc_t* descriptor_;
    std::size_t structSize_;
    void* message_ = nullptr;
};

// The message class of one nanopb structure and its descriptor.
template <class Struct, const pb_msgdesc_t* Descriptor>
class NANOMessage : public NANOMessageBase {
public:
    using MessageStruct = Struct;
    static const pb_msgdesc_t* messageDescriptor() { return Descriptor; }

    NANOMessage() : NANOMessageBase(Descriptor, sizeof(Struct)) {}

    // No bytes give an empty message; bytes that do not decode give none.
    static std::optional<NANOMessage> initWithBuffer(const std::uint8_t* bytes, std::size_t size) {
        NANOMessage message;
        if (size > 0 && !message.decodeBuffer(bytes, size)) return std::nullopt;
        return message;
    }
    static std::optional<NANOMessage> initWithBuffer(const NANOBytes& bytes) {
        return initWithBuffer(bytes.data(), bytes.size());
    }
    static std::optional<NANOMessage> initWithBuffer(const std::string& bytes) {
        return initWithBuffer(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    // A deep copy of the structure; no structure gives an empty message.
    static NANOMessage initWithMessageInfo(const Struct* info) {
        NANOMessage message;
        message.setFromMessageInfo(info);
        return message;
    }

    Struct* message() { return static_cast<Struct*>(messageInfo()); }
    const Struct* message() const { return static_cast<const Struct*>(messageInfo()); }
};

template <class T>
inline constexpr bool kIsNANOMessage = std::is_base_of_v<NANOMessageBase, T>;

// Field access by field index: the field's position in ascending tag order.
// A field of another type than the operation's is logged ("<Nano/Failure>
// Field type isn't ...") and the operation does nothing; setters answer
// whether they changed the message. Getters give 0, false, no string, no
// message or an empty list for an unset field.
bool NANOHasField(const NANOMessageBase& message, int index);
bool NANOGetBool(const NANOMessageBase& message, int index);
// int32, uint32 (bits kept), enum and sint32 fields.
std::int32_t NANOGetInt32(const NANOMessageBase& message, int index);
// int64, uint64 (bits kept) and sint64 fields.
std::int64_t NANOGetInt64(const NANOMessageBase& message, int index);
double NANOGetDouble(const NANOMessageBase& message, int index);
std::optional<std::string> NANOGetString(const NANOMessageBase& message, int index);
std::optional<NANOBytes> NANOGetBytes(const NANOMessageBase& message, int index);

bool NANOSetBool(NANOMessageBase& message, int index, bool value);
bool NANOSetInt32(NANOMessageBase& message, int index, std::int32_t value);
bool NANOSetInt64(NANOMessageBase& message, int index, std::int64_t value);
bool NANOSetDouble(NANOMessageBase& message, int index, double value);
// No string clears the field.
bool NANOSetString(NANOMessageBase& message, int index, const std::optional<std::string>& value);
// No bytes clear the field.
bool NANOSetBytes(NANOMessageBase& message, int index, const std::optional<NANOBytes>& value);
// Stores a deep copy.
bool NANOSetMessage(NANOMessageBase& message, int index, const NANOMessageBase& value);
bool NANOClearField(NANOMessageBase& message, int index);

// The index of the field with that tag, -1 when the message has none.
int NANOFieldIndexForTag(const NANOMessageBase& message, int tag);
int NANOFieldCount(const pb_msgdesc_t* descriptor);
template <class M>
int NANOFieldIndexForTag(int tag) {
    static const M empty;
    return NANOFieldIndexForTag(empty, tag);
}

namespace nano_detail {
const void* submessage(const NANOMessageBase& message, int index, const pb_msgdesc_t* type);
bool messageArray(const NANOMessageBase& message, int index, const pb_msgdesc_t* type,
                  std::vector<const void*>* elements);
bool setMessageArray(NANOMessageBase& message, int index, const pb_msgdesc_t* type,
                     const std::vector<const void*>& elements);

bool getArray(const NANOMessageBase& message, int index, std::vector<bool>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<std::int32_t>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<std::int64_t>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<std::uint64_t>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<double>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<std::string>* out);
bool getArray(const NANOMessageBase& message, int index, std::vector<NANOBytes>* out);
bool setArray(NANOMessageBase& message, int index, const std::vector<bool>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<std::int32_t>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<std::int64_t>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<std::uint64_t>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<double>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<std::string>& values);
bool setArray(NANOMessageBase& message, int index, const std::vector<NANOBytes>& values);
}  // namespace nano_detail

// A copy of a sub-message, wrapped in its class; none when unset or of
// another type.
template <class M>
std::optional<M> NANOGetMessage(const NANOMessageBase& message, int index) {
    static_assert(kIsNANOMessage<M>);
    const void* info = nano_detail::submessage(message, index, M::messageDescriptor());
    if (!info) return std::nullopt;
    M copy;
    if (!copy.setFromMessageInfo(info)) return std::nullopt;
    return copy;
}

// A repeated field as a list: bool, std::int32_t (32-bit integer and enum
// fields), std::int64_t or std::uint64_t (64-bit integer fields), double,
// std::string, NANOBytes, or copies of the elements wrapped in their message class (a
// changed element must be written back with NANOSetArray).
template <class T>
std::vector<T> NANOGetArray(const NANOMessageBase& message, int index) {
    std::vector<T> result;
    if constexpr (kIsNANOMessage<T>) {
        std::vector<const void*> elements;
        if (!nano_detail::messageArray(message, index, T::messageDescriptor(), &elements)) return result;
        result.reserve(elements.size());
        for (const void* element : elements) {
            T copy;
            copy.setFromMessageInfo(element);
            result.push_back(std::move(copy));
        }
    } else {
        nano_detail::getArray(message, index, &result);
    }
    return result;
}

// Replaces the whole repeated field with the list's elements.
template <class T>
bool NANOSetArray(NANOMessageBase& message, int index, const std::vector<T>& values) {
    if constexpr (kIsNANOMessage<T>) {
        std::vector<const void*> elements;
        elements.reserve(values.size());
        for (const auto& value : values) elements.push_back(value.messageInfo());
        return nano_detail::setMessageArray(message, index, T::messageDescriptor(), elements);
    } else {
        return nano_detail::setArray(message, index, values);
    }
}

}  // namespace measurement
