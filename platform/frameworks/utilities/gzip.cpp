#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

#include "platform/frameworks/utilities/gzip.h"

namespace platform {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// 15 bits of window, plus 16: a gzip wrapper rather than zlib's own.
constexpr int kGzipWindowBits = 15 + 16;

std::nullopt_t fail(RULError* error, GzipErrorCode code, const std::string& message) {
    if (error != nullptr) {
        *error = RULError{kRULGzipErrorDomain, static_cast<int>(code), message};
    }
    return std::nullopt;
}

std::string zlibMessage(const z_stream& stream, const char* fallback) {
    return stream.msg != nullptr ? stream.msg : fallback;
}

// The input, handed to zlib in pieces it can count (unsigned int).
class Input {
public:
    explicit Input(const std::vector<std::uint8_t>& data) : next_(data.data()), left_(data.size()) {}

    void refill(z_stream& stream) {
        if (stream.avail_in == 0 && left_ > 0) {
            const std::size_t n = std::min<std::size_t>(left_, std::numeric_limits<uInt>::max());
            stream.next_in = next_;
            stream.avail_in = static_cast<uInt>(n);
            next_ += n;
            left_ -= n;
        }
    }
    bool allHandedOver() const { return left_ == 0; }
    bool exhausted(const z_stream& stream) const { return left_ == 0 && stream.avail_in == 0; }

private:
    const std::uint8_t* next_;
    std::size_t left_;
};

struct Deflater {
    z_stream stream{};
    bool ready = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    ~Deflater() {
        if (ready) {
            deflateEnd(&stream);
        }
    }
};

struct Inflater {
    z_stream stream{};
    bool ready = inflateInit2(&stream, kGzipWindowBits) == Z_OK;
    ~Inflater() {
        if (ready) {
            inflateEnd(&stream);
        }
    }
};

}  // namespace

std::optional<std::vector<std::uint8_t>> gul_dataByGzippingData(const std::vector<std::uint8_t>& data,
                                                                 RULError* error) {
    Deflater deflater;
    if (!deflater.ready) {
        return fail(error, GzipErrorCode::Failed, "cannot start compression");
    }
    z_stream& stream = deflater.stream;
    Input input(data);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> buffer(kChunk);
    int result = Z_OK;
    do {
        input.refill(stream);
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        result = deflate(&stream, input.allHandedOver() ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) {
            return fail(error, GzipErrorCode::Failed, zlibMessage(stream, "compression failed"));
        }
        out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - stream.avail_out));
    } while (result != Z_STREAM_END);
    return out;
}

std::optional<std::vector<std::uint8_t>> gul_dataByInflatingGzippedData(const std::vector<std::uint8_t>& data,
                                                                         RULError* error,
                                                                         std::size_t maxInflatedBytes) {
    if (data.empty()) {
        return std::vector<std::uint8_t>{};
    }
    Inflater inflater;
    if (!inflater.ready) {
        return fail(error, GzipErrorCode::Failed, "cannot start inflation");
    }
    z_stream& stream = inflater.stream;
    Input input(data);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> buffer(kChunk);
    for (;;) {
        input.refill(stream);
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = buffer.size() - stream.avail_out;
        if (produced > maxInflatedBytes - out.size()) {
            return fail(error, GzipErrorCode::TooLarge,
                        "inflated data exceeds " + std::to_string(maxInflatedBytes) + " bytes");
        }
        out.insert(out.end(), buffer.data(), buffer.data() + produced);
        switch (result) {
            case Z_OK:
                continue;
            case Z_STREAM_END:
                if (input.exhausted(stream)) {
                    return out;
                }
                inflateReset(&stream);  // another member follows
                continue;
            case Z_BUF_ERROR:
                if (input.exhausted(stream)) {
                    return fail(error, GzipErrorCode::CorruptData, "gzip data is truncated");
                }
                continue;
            case Z_MEM_ERROR:
                return fail(error, GzipErrorCode::Failed, "out of memory");
            default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
                return fail(error, GzipErrorCode::CorruptData, zlibMessage(stream, "gzip data is corrupt"));
        }
    }
}

}  // namespace platform
