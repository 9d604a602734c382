// The message layer over nanopb: storage, copies, encoding and field access.
#include "measurement/foundation/nano_message.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

// nanopb frees what it allocated with free(); everything we hand it must come
// from the same allocator.
void* allocateZeroed(std::size_t count, std::size_t size) {
    return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void logNanoFailure(long code, const std::string& what, int index = -1) {
    std::vector<platform::Value> contexts;
    if (index >= 0) contexts.emplace_back(index);
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, code, "<Nano/Failure> " + what, std::move(contexts));
}

void logTypeMismatch(const char* expected, int index) {
    logNanoFailure(kNANOFieldTypeMismatchCode, std::string("Field type isn't ") + expected, index);
}

bool encodeStruct(const pb_msgdesc_t* descriptor, const void* info, NANOBytes* out) {
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, descriptor, info)) return false;
    out->assign(size, 0);
    pb_ostream_t stream = pb_ostream_from_buffer(out->data(), out->size());
    return pb_encode(&stream, descriptor, info);
}

// The sub-message fields of one message type.
struct SubmessageField {
    std::uint32_t tag;
    const pb_msgdesc_t* type;
    std::size_t structSize;
};

std::vector<SubmessageField> submessageFields(const pb_msgdesc_t* descriptor, std::size_t structSize) {
    std::vector<SubmessageField> fields;
    // The iterator needs a structure to point into; only the field
    // descriptions are read.
    std::vector<std::max_align_t> scratch(structSize / sizeof(std::max_align_t) + 1);
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, descriptor, scratch.data())) return fields;
    do {
        if (PB_LTYPE_IS_SUBMSG(it.type) && it.submsg_desc) fields.push_back({it.tag, it.submsg_desc, it.data_size});
    } while (pb_field_iter_next(&it));
    return fields;
}

bool readVarint(const std::uint8_t* bytes, std::size_t end, std::size_t* pos, std::uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (*pos >= end) return false;
        const std::uint8_t byte = bytes[(*pos)++];
        *value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

// Whether the sub-messages in the bytes nest at most kNANOMaxNestingDepth
// levels below the message, read without recursion. Only fields that the
// decoder would follow count; malformed bytes may answer false, as the
// decoder refuses them anyway.
bool nestsWithinLimit(const pb_msgdesc_t* descriptor, std::size_t structSize, const std::uint8_t* bytes,
                      std::size_t size) {
    // Every level takes at least a key and a length byte: short bytes cannot
    // nest too deeply.
    if (size < 2 * (static_cast<std::size_t>(kNANOMaxNestingDepth) + 1)) return true;
    std::map<const pb_msgdesc_t*, std::vector<SubmessageField>> known;
    auto fieldsOf = [&known](const pb_msgdesc_t* type, std::size_t typeSize) {
        auto [entry, added] = known.try_emplace(type);
        if (added) entry->second = submessageFields(type, typeSize);
        return &entry->second;
    };
    struct Frame {
        const std::vector<SubmessageField>* fields;
        std::size_t end;
    };
    std::vector<Frame> open{{fieldsOf(descriptor, structSize), size}};
    std::size_t pos = 0;
    while (!open.empty()) {
        const Frame frame = open.back();
        if (pos >= frame.end) {
            open.pop_back();
            continue;
        }
        std::uint64_t key = 0;
        std::uint64_t value = 0;
        if (!readVarint(bytes, frame.end, &pos, &key)) return false;
        switch (key & 7) {
            case PB_WT_VARINT:
                if (!readVarint(bytes, frame.end, &pos, &value)) return false;
                break;
            case PB_WT_64BIT:
                if (frame.end - pos < 8) return false;
                pos += 8;
                break;
            case PB_WT_32BIT:
                if (frame.end - pos < 4) return false;
                pos += 4;
                break;
            case PB_WT_STRING: {
                if (!readVarint(bytes, frame.end, &pos, &value) || value > frame.end - pos) return false;
                const auto length = static_cast<std::size_t>(value);
                auto child = std::find_if(frame.fields->begin(), frame.fields->end(),
                                          [&](const SubmessageField& f) { return f.tag == key >> 3; });
                if (child == frame.fields->end()) {
                    pos += length;
                } else if (open.size() > static_cast<std::size_t>(kNANOMaxNestingDepth)) {
                    return false;
                } else {
                    open.push_back({fieldsOf(child->type, child->structSize), pos + length});
                }
                break;
            }
            default: return false;
        }
    }
    return true;
}

// Decodes into a zeroed structure; on failure whatever was allocated is
// released and the structure is zeroed again.
bool decodeInto(const pb_msgdesc_t* descriptor, void* info, std::size_t structSize, const std::uint8_t* bytes,
                std::size_t size) {
    pb_istream_t stream = pb_istream_from_buffer(bytes, size);
    if (pb_decode(&stream, descriptor, info)) return true;
    pb_release(descriptor, info);
    std::memset(info, 0, structSize);
    return false;
}

// ---- deep copy ----

// One structure still to fill: `target` (zeroed) becomes a copy of `source`,
// `depth` levels below the message being copied.
struct CopyTask {
    const pb_msgdesc_t* descriptor;
    const void* source;
    void* target;
    int depth;
};

void* copyOfBytes(const void* source, std::size_t size) {
    void* copy = allocateZeroed(1, size);
    if (copy) std::memcpy(copy, source, size);
    return copy;
}

// A string or bytes value held behind a pointer; none when out of memory.
void* copyOfText(const pb_field_iter_t& field, const void* source) {
    if (PB_LTYPE(field.type) == PB_LTYPE_STRING) {
        return copyOfBytes(source, std::strlen(static_cast<const char*>(source)) + 1);
    }
    const auto* bytes = static_cast<const pb_bytes_array_t*>(source);
    return copyOfBytes(bytes, PB_BYTES_ARRAY_T_ALLOCSIZE(bytes->size));
}

bool isText(const pb_field_iter_t& field) {
    return PB_LTYPE(field.type) == PB_LTYPE_STRING || PB_LTYPE(field.type) == PB_LTYPE_BYTES;
}

// Queues the copy of a sub-message; refuses one nested deeper than the
// decoder would take, so that no copy holds what cannot be encoded again.
bool queueSubmessage(const pb_field_iter_t& field, const void* source, void* target, int depth,
                     std::vector<CopyTask>& pending) {
    if (depth + 1 > kNANOMaxNestingDepth) return false;
    pending.push_back({field.submsg_desc, source, target, depth + 1});
    return true;
}

// A field held inside the structure: its bytes, with its has-flag or count;
// sub-messages are queued, as they may hold pointers of their own.
bool copyStaticField(const pb_field_iter_t& from, const pb_field_iter_t& to, int depth,
                     std::vector<CopyTask>& pending) {
    const bool repeated = PB_HTYPE(from.type) == PB_HTYPE_REPEATED;
    // A fixed-length array's size lives in the iterator, not the structure.
    const bool sizeInStruct = from.pSize && from.pSize != &from.array_size;
    if (sizeInStruct) std::memcpy(to.pSize, from.pSize, repeated ? sizeof(pb_size_t) : sizeof(bool));
    if (!PB_LTYPE_IS_SUBMSG(from.type)) {
        std::memcpy(to.pData, from.pData, static_cast<std::size_t>(from.data_size) * (repeated ? from.array_size : 1));
        return true;
    }
    if (!repeated) {
        const bool present = !sizeInStruct || *static_cast<const bool*>(from.pSize);
        return !present || queueSubmessage(from, from.pData, to.pData, depth, pending);
    }
    const pb_size_t count = sizeInStruct ? *static_cast<const pb_size_t*>(from.pSize) : from.array_size;
    for (pb_size_t i = 0; i < count; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * from.data_size;
        if (!queueSubmessage(from, static_cast<const char*>(from.pData) + offset, static_cast<char*>(to.pData) + offset,
                             depth, pending)) {
            return false;
        }
    }
    return true;
}

// A repeated field held behind a pointer: a new array, its count set at once
// (its zeroed elements are valid empty values for pb_release), then every
// element.
bool copyPointerArray(const pb_field_iter_t& from, const pb_field_iter_t& to, int depth,
                      std::vector<CopyTask>& pending) {
    const pb_size_t count = *static_cast<const pb_size_t*>(from.pSize);
    const auto* source = *static_cast<char* const*>(from.pField);
    if (count == 0 || !source) return true;
    auto* array = static_cast<char*>(allocateZeroed(count, from.data_size));
    if (!array) return false;
    *static_cast<void**>(to.pField) = array;
    *static_cast<pb_size_t*>(to.pSize) = count;
    for (pb_size_t i = 0; i < count; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * from.data_size;
        if (isText(from)) {
            const void* element = *reinterpret_cast<void* const*>(source + offset);
            if (!element) continue;
            void* copy = copyOfText(from, element);
            if (!copy) return false;
            *reinterpret_cast<void**>(array + offset) = copy;
        } else if (PB_LTYPE_IS_SUBMSG(from.type)) {
            if (!queueSubmessage(from, source + offset, array + offset, depth, pending)) return false;
        } else {
            std::memcpy(array + offset, source + offset, from.data_size);
        }
    }
    return true;
}

bool copyPointerField(const pb_field_iter_t& from, const pb_field_iter_t& to, int depth,
                      std::vector<CopyTask>& pending) {
    if (PB_HTYPE(from.type) == PB_HTYPE_REPEATED) return copyPointerArray(from, to, depth, pending);
    const void* source = *static_cast<void* const*>(from.pField);
    if (!source) return true;
    void* copy = nullptr;
    if (isText(from)) {
        copy = copyOfText(from, source);
    } else if (PB_LTYPE_IS_SUBMSG(from.type)) {
        copy = allocateZeroed(1, from.data_size);
        if (copy && !queueSubmessage(from, source, copy, depth, pending)) {
            std::free(copy);
            return false;
        }
    } else {
        copy = copyOfBytes(source, from.data_size);
    }
    *static_cast<void**>(to.pField) = copy;
    return copy != nullptr;
}

// Fills one zeroed structure from its source; sub-messages are queued.
bool copyFields(const CopyTask& task, std::vector<CopyTask>& pending) {
    pb_field_iter_t from;
    pb_field_iter_t to;
    if (!pb_field_iter_begin_const(&from, task.descriptor, task.source)) return true;  // no fields
    if (!pb_field_iter_begin(&to, task.descriptor, task.target)) return false;
    do {
        // None of the engine's messages has a oneof or a callback field; a
        // copy of one is refused rather than made wrong.
        if (PB_HTYPE(from.type) == PB_HTYPE_ONEOF || PB_ATYPE(from.type) == PB_ATYPE_CALLBACK) return false;
        const bool copied = PB_ATYPE(from.type) == PB_ATYPE_POINTER ? copyPointerField(from, to, task.depth, pending)
                                                                    : copyStaticField(from, to, task.depth, pending);
        if (!copied) return false;
    } while (pb_field_iter_next(&from) && pb_field_iter_next(&to));
    return true;
}

// A deep copy of one structure into zeroed storage, field by field and
// without recursion, so that its cost grows with the size of the message
// alone, however deeply it nests. On failure whatever was copied is released
// and the storage is zeroed again.
bool copyStruct(const pb_msgdesc_t* descriptor, const void* source, void* target, std::size_t structSize) {
    std::vector<CopyTask> pending{{descriptor, source, target, 0}};
    while (!pending.empty()) {
        const CopyTask task = pending.back();
        pending.pop_back();
        if (!copyFields(task, pending)) {
            pb_release(descriptor, target);
            std::memset(target, 0, structSize);
            return false;
        }
    }
    return true;
}

// ---- fields ----

struct Field {
    pb_field_iter_t it;

    pb_type_t ltype() const { return PB_LTYPE(it.type); }
    bool repeated() const { return PB_HTYPE(it.type) == PB_HTYPE_REPEATED; }
    bool pointer() const { return PB_ATYPE(it.type) == PB_ATYPE_POINTER; }
    bool callback() const { return PB_ATYPE(it.type) == PB_ATYPE_CALLBACK; }
    bool optionalStatic() const { return !pointer() && PB_HTYPE(it.type) == PB_HTYPE_OPTIONAL; }
    bool submessage() const { return PB_LTYPE_IS_SUBMSG(it.type); }
    bool isString() const { return ltype() == PB_LTYPE_STRING; }
    bool isBytes() const { return ltype() == PB_LTYPE_BYTES; }
    bool integer(std::size_t size) const {
        pb_type_t t = ltype();
        return (t == PB_LTYPE_VARINT || t == PB_LTYPE_UVARINT || t == PB_LTYPE_SVARINT) && it.data_size == size;
    }
    bool isBool() const { return ltype() == PB_LTYPE_BOOL; }
    bool isDouble() const { return ltype() == PB_LTYPE_FIXED64 && it.data_size == sizeof(double); }
    // A singular scalar kept inside the structure.
    bool staticScalar() const { return !repeated() && !pointer() && !callback() && !submessage(); }

    // The field inside the structure: the value itself for static fields, the
    // pointer to the allocated value for pointer fields.
    void* data() const { return it.pField; }
    void*& pointerSlot() const { return *static_cast<void**>(it.pField); }
    pb_size_t& count() const { return *static_cast<pb_size_t*>(it.pSize); }
};

bool locate(const NANOMessageBase& message, int index, Field* field) {
    if (!message.isInitialized()) {
        logNanoFailure(kNANOUninitializedMessageCode, "Message is not initialized", index);
        return false;
    }
    void* info = const_cast<void*>(message.messageInfo());
    if (index < 0 || !pb_field_iter_begin(&field->it, message.descriptor(), info)) {
        logNanoFailure(kNANOFieldIndexOutOfRangeCode, "Field index is out of range", index);
        return false;
    }
    for (int i = 0; i < index; ++i) {
        if (!pb_field_iter_next(&field->it)) {
            logNanoFailure(kNANOFieldIndexOutOfRangeCode, "Field index is out of range", index);
            return false;
        }
    }
    return true;
}

// Frees what the field holds and leaves it unset.
void releaseField(const Field& field) {
    if (field.pointer()) {
        void* held = field.pointerSlot();
        if (field.repeated()) {
            pb_size_t count = field.count();
            if (held && (field.isString() || field.isBytes())) {
                for (pb_size_t i = 0; i < count; ++i) std::free(static_cast<void**>(held)[i]);
            } else if (held && field.submessage()) {
                for (pb_size_t i = 0; i < count; ++i) {
                    pb_release(field.it.submsg_desc, static_cast<char*>(held) + i * field.it.data_size);
                }
            }
            field.count() = 0;
        } else if (held && field.submessage()) {
            pb_release(field.it.submsg_desc, held);
        }
        std::free(held);
        field.pointerSlot() = nullptr;
        return;
    }
    if (field.submessage()) pb_release(field.it.submsg_desc, field.data());
    if (field.repeated()) {
        field.count() = 0;
    } else if (field.optionalStatic()) {
        *static_cast<bool*>(field.it.pSize) = false;
    }
    std::memset(field.data(), 0, static_cast<std::size_t>(field.it.data_size) *
                                     (field.repeated() ? field.it.array_size : 1));
}

bool hasValue(const Field& field) {
    if (field.repeated()) return true;
    if (field.pointer()) return field.pointerSlot() != nullptr;
    if (field.optionalStatic()) return *static_cast<const bool*>(field.it.pSize);
    return true;
}

// A singular scalar of the expected kind, or a logged mismatch.
template <class Check>
bool scalarField(const NANOMessageBase& message, int index, const char* typeName, Check check, Field* field) {
    if (!locate(message, index, field)) return false;
    if (!field->staticScalar() || !check(*field)) {
        logTypeMismatch(typeName, index);
        return false;
    }
    return true;
}

template <class T, class Check>
T getScalar(const NANOMessageBase& message, int index, const char* typeName, Check check) {
    Field field;
    if (!scalarField(message, index, typeName, check, &field) || !hasValue(field)) return T{};
    T value{};
    std::memcpy(&value, field.data(), sizeof(T));
    return value;
}

template <class T, class Check>
bool setScalar(NANOMessageBase& message, int index, const char* typeName, Check check, T value) {
    Field field;
    if (!scalarField(message, index, typeName, check, &field)) return false;
    std::memcpy(field.data(), &value, sizeof(T));
    if (field.optionalStatic()) *static_cast<bool*>(field.it.pSize) = true;
    return true;
}

constexpr auto kIsBool = [](const Field& f) { return f.isBool(); };
constexpr auto kIsInt32 = [](const Field& f) { return f.integer(sizeof(std::int32_t)); };
constexpr auto kIsInt64 = [](const Field& f) { return f.integer(sizeof(std::int64_t)); };
constexpr auto kIsDouble = [](const Field& f) { return f.isDouble(); };
constexpr auto kIsString = [](const Field& f) { return f.isString(); };
constexpr auto kIsBytes = [](const Field& f) { return f.isBytes(); };

// A singular string or bytes field (kept behind a pointer), or a logged
// mismatch.
template <class Check>
bool singularPointerField(const NANOMessageBase& message, int index, const char* typeName, Check check,
                          Field* field) {
    if (!locate(message, index, field)) return false;
    if (!check(*field) || field->repeated() || !field->pointer()) {
        logTypeMismatch(typeName, index);
        return false;
    }
    return true;
}

char* copyString(const std::string& text) {
    auto* copy = static_cast<char*>(allocateZeroed(text.size() + 1, 1));
    if (copy) std::memcpy(copy, text.data(), text.size());
    return copy;
}

pb_bytes_array_t* copyBytes(const NANOBytes& bytes) {
    auto* copy = static_cast<pb_bytes_array_t*>(allocateZeroed(1, PB_BYTES_ARRAY_T_ALLOCSIZE(bytes.size())));
    if (!copy) return nullptr;
    copy->size = static_cast<pb_size_t>(bytes.size());
    if (!bytes.empty()) std::memcpy(copy->bytes, bytes.data(), bytes.size());
    return copy;
}

NANOBytes bytesOf(const pb_bytes_array_t* bytes) {
    if (!bytes) return {};
    return NANOBytes(bytes->bytes, bytes->bytes + bytes->size);
}

bool containsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// The repeated field at the index, checked against the element kind.
template <class Check>
bool arrayField(const NANOMessageBase& message, int index, const char* typeName, Check check, Field* field) {
    if (!locate(message, index, field)) return false;
    if (!field->repeated() || !field->pointer() || !check(*field)) {
        logTypeMismatch(typeName, index);
        return false;
    }
    return true;
}

template <class T, class Check>
bool getScalarArray(const NANOMessageBase& message, int index, const char* typeName, Check check,
                    std::vector<T>* out) {
    Field field;
    if (!arrayField(message, index, typeName, check, &field)) return false;
    const auto* items = static_cast<const std::uint8_t*>(field.pointerSlot());
    out->clear();
    for (pb_size_t i = 0; items && i < field.count(); ++i) {
        T value{};
        std::memcpy(&value, items + i * field.it.data_size, sizeof(T));
        out->push_back(value);
    }
    return true;
}

bool checkArraySize(std::size_t size, int index) {
    if (size <= std::numeric_limits<pb_size_t>::max()) return true;
    logNanoFailure(kNANOUnsupportedValueCode, "Too many elements or bytes for a field", index);
    return false;
}

// Installs a freshly allocated element array in place of the field's own.
void installArray(const Field& field, void* items, std::size_t count) {
    releaseField(field);
    field.pointerSlot() = count ? items : nullptr;
    if (!count) std::free(items);
    field.count() = static_cast<pb_size_t>(count);
}

template <class T, class Check>
bool setScalarArray(NANOMessageBase& message, int index, const char* typeName, Check check,
                    const std::vector<T>& values) {
    Field field;
    if (!arrayField(message, index, typeName, check, &field) || !checkArraySize(values.size(), index)) return false;
    auto* items = static_cast<std::uint8_t*>(allocateZeroed(values.size(), field.it.data_size));
    if (!items) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        T value = values[i];
        std::memcpy(items + i * field.it.data_size, &value, sizeof(T));
    }
    installArray(field, items, values.size());
    return true;
}

}  // namespace

// ---- NANOMessageBase ----

NANOMessageBase::NANOMessageBase(const pb_msgdesc_t* descriptor, std::size_t structSize)
    : descriptor_(descriptor), structSize_(structSize), message_(allocateZeroed(1, structSize)) {}

NANOMessageBase::~NANOMessageBase() { release(); }

NANOMessageBase::NANOMessageBase(const NANOMessageBase& other)
    : descriptor_(other.descriptor_), structSize_(other.structSize_) {
    if (other.message_) {
        message_ = allocateZeroed(1, structSize_);
        if (message_ && !copyStruct(descriptor_, other.message_, message_, structSize_)) {
            logNanoFailure(kNANOEncodeFailureCode, "Message could not be copied");
        }
    }
}

NANOMessageBase& NANOMessageBase::operator=(const NANOMessageBase& other) {
    if (this != &other) {
        NANOMessageBase copy(other);
        *this = std::move(copy);
    }
    return *this;
}

NANOMessageBase::NANOMessageBase(NANOMessageBase&& other) noexcept
    : descriptor_(other.descriptor_), structSize_(other.structSize_), message_(other.message_) {
    other.message_ = nullptr;
}

NANOMessageBase& NANOMessageBase::operator=(NANOMessageBase&& other) noexcept {
    if (this != &other) {
        release();
        descriptor_ = other.descriptor_;
        structSize_ = other.structSize_;
        message_ = other.message_;
        other.message_ = nullptr;
    }
    return *this;
}

void NANOMessageBase::release() {
    if (!message_) return;
    pb_release(descriptor_, message_);
    std::free(message_);
    message_ = nullptr;
}

NANOBytes NANOMessageBase::protoBuffer() const {
    NANOBytes bytes;
    if (!message_) {
        logNanoFailure(kNANOUninitializedMessageCode, "Message is not initialized");
        return bytes;
    }
    if (!encodeStruct(descriptor_, message_, &bytes)) {
        logNanoFailure(kNANOEncodeFailureCode, "Message could not be encoded");
        bytes.clear();
    }
    return bytes;
}

bool NANOMessageBase::setFromMessageInfo(const void* info) {
    void* fresh = allocateZeroed(1, structSize_);
    if (!fresh) return false;
    if (info && !copyStruct(descriptor_, info, fresh, structSize_)) {
        std::free(fresh);
        logNanoFailure(kNANOEncodeFailureCode, "Message could not be copied");
        return false;
    }
    release();
    message_ = fresh;
    return true;
}

bool NANONestsWithinLimit(const pb_msgdesc_t* descriptor, std::size_t structSize, const std::uint8_t* bytes,
                          std::size_t size) {
    return nestsWithinLimit(descriptor, structSize, bytes, size);
}

bool NANOMessageBase::decodeBuffer(const std::uint8_t* bytes, std::size_t size) {
    if (!nestsWithinLimit(descriptor_, structSize_, bytes, size)) return false;
    void* fresh = allocateZeroed(1, structSize_);
    if (!fresh) return false;
    if (!decodeInto(descriptor_, fresh, structSize_, bytes, size)) {
        std::free(fresh);
        return false;
    }
    release();
    message_ = fresh;
    return true;
}

bool NANOMessageBase::operator==(const NANOMessageBase& other) const {
    if (descriptor_ != other.descriptor_ || isInitialized() != other.isInitialized()) return false;
    if (!isInitialized()) return true;
    NANOBytes mine;
    NANOBytes theirs;
    return encodeStruct(descriptor_, message_, &mine) && encodeStruct(descriptor_, other.message_, &theirs) &&
           mine == theirs;
}

// ---- accessors ----

bool NANOHasField(const NANOMessageBase& message, int index) {
    Field field;
    return locate(message, index, &field) && hasValue(field);
}

bool NANOGetBool(const NANOMessageBase& message, int index) {
    return getScalar<bool>(message, index, "bool", kIsBool);
}

std::int32_t NANOGetInt32(const NANOMessageBase& message, int index) {
    return getScalar<std::int32_t>(message, index, "int32", kIsInt32);
}

std::int64_t NANOGetInt64(const NANOMessageBase& message, int index) {
    return getScalar<std::int64_t>(message, index, "int64", kIsInt64);
}

double NANOGetDouble(const NANOMessageBase& message, int index) {
    return getScalar<double>(message, index, "double", kIsDouble);
}

bool NANOSetBool(NANOMessageBase& message, int index, bool value) {
    return setScalar(message, index, "bool", kIsBool, value);
}

bool NANOSetInt32(NANOMessageBase& message, int index, std::int32_t value) {
    return setScalar(message, index, "int32", kIsInt32, value);
}

bool NANOSetInt64(NANOMessageBase& message, int index, std::int64_t value) {
    return setScalar(message, index, "int64", kIsInt64, value);
}

bool NANOSetDouble(NANOMessageBase& message, int index, double value) {
    return setScalar(message, index, "double", kIsDouble, value);
}

std::optional<std::string> NANOGetString(const NANOMessageBase& message, int index) {
    Field field;
    if (!singularPointerField(message, index, "string", kIsString, &field)) return std::nullopt;
    const char* text = static_cast<const char*>(field.pointerSlot());
    if (!text) return std::nullopt;
    return std::string(text);
}

bool NANOSetString(NANOMessageBase& message, int index, const std::optional<std::string>& value) {
    Field field;
    if (!singularPointerField(message, index, "string", kIsString, &field)) return false;
    if (value && containsNul(*value)) {
        logNanoFailure(kNANOUnsupportedValueCode, "String contains a NUL character", index);
        return false;
    }
    char* copy = nullptr;
    if (value && !(copy = copyString(*value))) return false;
    releaseField(field);
    field.pointerSlot() = copy;
    return true;
}

std::optional<NANOBytes> NANOGetBytes(const NANOMessageBase& message, int index) {
    Field field;
    if (!singularPointerField(message, index, "bytes", kIsBytes, &field)) return std::nullopt;
    const auto* bytes = static_cast<const pb_bytes_array_t*>(field.pointerSlot());
    if (!bytes) return std::nullopt;
    return bytesOf(bytes);
}

bool NANOSetBytes(NANOMessageBase& message, int index, const std::optional<NANOBytes>& value) {
    Field field;
    if (!singularPointerField(message, index, "bytes", kIsBytes, &field)) return false;
    if (value && !checkArraySize(value->size(), index)) return false;
    pb_bytes_array_t* copy = nullptr;
    if (value && !(copy = copyBytes(*value))) return false;
    releaseField(field);
    field.pointerSlot() = copy;
    return true;
}

bool NANOSetMessage(NANOMessageBase& message, int index, const NANOMessageBase& value) {
    Field field;
    if (!locate(message, index, &field)) return false;
    if (!field.submessage() || field.repeated() || field.it.submsg_desc != value.descriptor()) {
        logTypeMismatch("message", index);
        return false;
    }
    if (!value.isInitialized()) {
        logNanoFailure(kNANOUninitializedMessageCode, "Message is not initialized", index);
        return false;
    }
    const std::size_t size = field.it.data_size;
    void* copy = allocateZeroed(1, size);
    if (!copy || !copyStruct(field.it.submsg_desc, value.messageInfo(), copy, size)) {
        std::free(copy);
        logNanoFailure(kNANOEncodeFailureCode, "Message could not be copied", index);
        return false;
    }
    releaseField(field);
    if (field.pointer()) {
        field.pointerSlot() = copy;
    } else {
        std::memcpy(field.data(), copy, size);
        std::free(copy);
        if (field.optionalStatic()) *static_cast<bool*>(field.it.pSize) = true;
    }
    return true;
}

bool NANOClearField(NANOMessageBase& message, int index) {
    Field field;
    if (!locate(message, index, &field)) return false;
    if (field.callback()) {
        logTypeMismatch("clearable", index);
        return false;
    }
    releaseField(field);
    return true;
}

int NANOFieldIndexForTag(const NANOMessageBase& message, int tag) {
    if (!message.isInitialized() || tag <= 0) return -1;
    pb_field_iter_t it;
    if (!pb_field_iter_begin_const(&it, message.descriptor(), message.messageInfo())) return -1;
    do {
        if (it.tag == tag) return it.index;
    } while (pb_field_iter_next(&it));
    return -1;
}

int NANOFieldCount(const pb_msgdesc_t* descriptor) { return descriptor ? descriptor->field_count : 0; }

// ---- sub-messages and repeated fields ----

namespace nano_detail {

const void* submessage(const NANOMessageBase& message, int index, const pb_msgdesc_t* type) {
    Field field;
    if (!locate(message, index, &field)) return nullptr;
    if (!field.submessage() || field.repeated() || field.it.submsg_desc != type) {
        logTypeMismatch("message", index);
        return nullptr;
    }
    if (!hasValue(field)) return nullptr;
    return field.pointer() ? field.pointerSlot() : field.data();
}

bool messageArray(const NANOMessageBase& message, int index, const pb_msgdesc_t* type,
                  std::vector<const void*>* elements) {
    Field field;
    auto check = [type](const Field& f) { return f.submessage() && f.it.submsg_desc == type; };
    if (!arrayField(message, index, "repeated message", check, &field)) return false;
    const auto* items = static_cast<const std::uint8_t*>(field.pointerSlot());
    for (pb_size_t i = 0; items && i < field.count(); ++i) elements->push_back(items + i * field.it.data_size);
    return true;
}

bool setMessageArray(NANOMessageBase& message, int index, const pb_msgdesc_t* type,
                     const std::vector<const void*>& elements) {
    Field field;
    auto check = [type](const Field& f) { return f.submessage() && f.it.submsg_desc == type; };
    if (!arrayField(message, index, "repeated message", check, &field) || !checkArraySize(elements.size(), index)) {
        return false;
    }
    const std::size_t size = field.it.data_size;
    auto* items = static_cast<std::uint8_t*>(allocateZeroed(elements.size(), size));
    if (!items) return false;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (!elements[i] || !copyStruct(type, elements[i], items + i * size, size)) {
            for (std::size_t j = 0; j < i; ++j) pb_release(type, items + j * size);
            std::free(items);
            logNanoFailure(kNANOEncodeFailureCode, "Message element could not be copied", index);
            return false;
        }
    }
    installArray(field, items, elements.size());
    return true;
}

bool getArray(const NANOMessageBase& message, int index, std::vector<bool>* out) {
    std::vector<std::uint8_t> raw;
    if (!getScalarArray(message, index, "repeated bool", kIsBool, &raw)) return false;
    out->assign(raw.begin(), raw.end());
    return true;
}

bool getArray(const NANOMessageBase& message, int index, std::vector<std::int32_t>* out) {
    return getScalarArray(message, index, "repeated int32", kIsInt32, out);
}

bool getArray(const NANOMessageBase& message, int index, std::vector<std::int64_t>* out) {
    return getScalarArray(message, index, "repeated int64", kIsInt64, out);
}

bool getArray(const NANOMessageBase& message, int index, std::vector<std::uint64_t>* out) {
    return getScalarArray(message, index, "repeated int64", kIsInt64, out);
}

bool getArray(const NANOMessageBase& message, int index, std::vector<double>* out) {
    return getScalarArray(message, index, "repeated double", kIsDouble, out);
}

bool getArray(const NANOMessageBase& message, int index, std::vector<std::string>* out) {
    Field field;
    if (!arrayField(message, index, "repeated string", kIsString, &field)) {
        return false;
    }
    auto* const* items = static_cast<char* const*>(field.pointerSlot());
    out->clear();
    for (pb_size_t i = 0; items && i < field.count(); ++i) out->emplace_back(items[i] ? items[i] : "");
    return true;
}

bool getArray(const NANOMessageBase& message, int index, std::vector<NANOBytes>* out) {
    Field field;
    if (!arrayField(message, index, "repeated bytes", kIsBytes, &field)) {
        return false;
    }
    auto* const* items = static_cast<pb_bytes_array_t* const*>(field.pointerSlot());
    out->clear();
    for (pb_size_t i = 0; items && i < field.count(); ++i) out->push_back(bytesOf(items[i]));
    return true;
}

bool setArray(NANOMessageBase& message, int index, const std::vector<NANOBytes>& values) {
    Field field;
    if (!arrayField(message, index, "repeated bytes", kIsBytes, &field) ||
        !checkArraySize(values.size(), index)) {
        return false;
    }
    for (const auto& value : values) {
        if (!checkArraySize(value.size(), index)) return false;
    }
    auto** items = static_cast<pb_bytes_array_t**>(allocateZeroed(values.size(), sizeof(pb_bytes_array_t*)));
    if (!items) return false;
    for (std::size_t i = 0; i < values.size(); ++i) items[i] = copyBytes(values[i]);
    installArray(field, items, values.size());
    return true;
}

bool setArray(NANOMessageBase& message, int index, const std::vector<bool>& values) {
    std::vector<std::uint8_t> raw(values.begin(), values.end());
    return setScalarArray(message, index, "repeated bool", kIsBool, raw);
}

bool setArray(NANOMessageBase& message, int index, const std::vector<std::int32_t>& values) {
    return setScalarArray(message, index, "repeated int32", kIsInt32, values);
}

bool setArray(NANOMessageBase& message, int index, const std::vector<std::int64_t>& values) {
    return setScalarArray(message, index, "repeated int64", kIsInt64, values);
}

bool setArray(NANOMessageBase& message, int index, const std::vector<std::uint64_t>& values) {
    return setScalarArray(message, index, "repeated int64", kIsInt64, values);
}

bool setArray(NANOMessageBase& message, int index, const std::vector<double>& values) {
    return setScalarArray(message, index, "repeated double", kIsDouble, values);
}

bool setArray(NANOMessageBase& message, int index, const std::vector<std::string>& values) {
    Field field;
    if (!arrayField(message, index, "repeated string", kIsString, &field) ||
        !checkArraySize(values.size(), index)) {
        return false;
    }
    for (const auto& value : values) {
        if (containsNul(value)) {
            logNanoFailure(kNANOUnsupportedValueCode, "String contains a NUL character", index);
            return false;
        }
    }
    auto** items = static_cast<char**>(allocateZeroed(values.size(), sizeof(char*)));
    if (!items) return false;
    for (std::size_t i = 0; i < values.size(); ++i) items[i] = copyString(values[i]);
    installArray(field, items, values.size());
    return true;
}

}  // namespace nano_detail

}  // namespace measurement
