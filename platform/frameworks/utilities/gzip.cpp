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

// Feeds a zlib stream its input and gathers its output, a buffer at a time.
struct Pump {
    z_stream& stream;
    Input input;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kChunk);
    std::vector<std::uint8_t> out;

    Pump(z_stream& zstream, const std::vector<std::uint8_t>& data) : stream(zstream), input(data) {}

    void prepare() {
        input.refill(stream);
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
    }
    std::size_t produced() const { return buffer.size() - stream.avail_out; }
    void collect() { out.insert(out.end(), buffer.data(), buffer.data() + produced()); }
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

std::optional<std::vector<std::uint8_t>> rul_dataByGzippingData(const std::vector<std::uint8_t>& data,
                                                                 RULError* error) {
    Deflater deflater;
    if (!deflater.ready) {
        return fail(error, GzipErrorCode::Failed, "cannot start compression");
    }
    Pump pump(deflater.stream, data);
    int result = Z_OK;
    do {
        pump.prepare();
        result = deflate(&pump.stream, pump.input.allHandedOver() ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) {
            return fail(error, GzipErrorCode::Failed, zlibMessage(pump.stream, "compression failed"));
        }
        pump.collect();
    } while (result != Z_STREAM_END);
    return std::move(pump.out);
}

std::optional<std::vector<std::uint8_t>> rul_dataByInflatingGzippedData(const std::vector<std::uint8_t>& data,
                                                                         RULError* error,
                                                                         std::size_t maxInflatedBytes) {
    if (data.empty()) {
        return std::vector<std::uint8_t>{};
    }
    Inflater inflater;
    if (!inflater.ready) {
        return fail(error, GzipErrorCode::Failed, "cannot start inflation");
    }
    Pump pump(inflater.stream, data);
    z_stream& stream = pump.stream;
    for (;;) {
        pump.prepare();
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (pump.produced() > maxInflatedBytes - pump.out.size()) {
            return fail(error, GzipErrorCode::TooLarge,
                        "inflated data exceeds " + std::to_string(maxInflatedBytes) + " bytes");
        }
        pump.collect();
        switch (result) {
            case Z_OK:
                continue;
            case Z_STREAM_END:
                if (pump.input.exhausted(stream)) {
                    return std::move(pump.out);
                }
                inflateReset(&stream);  // another member follows
                continue;
            case Z_BUF_ERROR:
                if (pump.input.exhausted(stream)) {
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
