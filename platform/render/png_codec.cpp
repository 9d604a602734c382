// PNG files of rendered pixels, written with zlib: any size, no limit of
// the drawing library's own writer.
#include "platform/render/png_codec.h"

#include <zlib.h>

#include <array>
#include <cstdint>
#include <stdexcept>

#include "platform/foundation/atomic_file.h"

namespace platform::render {

namespace {

void putBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void putChunk(std::string& out, const char (&type)[5], const std::string& data) {
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    std::string body(type, 4);
    body += data;
    out += body;
    auto crc = crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    putBigEndian(out, static_cast<std::uint32_t>(crc));
}

// Each row filtered with "Up" (the difference to the row above), which
// suits screens: long runs of the same colour become zeros.
class RowDeflater {
public:
    RowDeflater() {
        if (deflateInit(&stream_, 6) != Z_OK) throw std::runtime_error("zlib could not start");
    }
    ~RowDeflater() { deflateEnd(&stream_); }
    RowDeflater(const RowDeflater&) = delete;
    RowDeflater& operator=(const RowDeflater&) = delete;

    void add(const std::string& bytes, bool last) {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        stream_.avail_in = static_cast<uInt>(bytes.size());
        int flush = last ? Z_FINISH : Z_NO_FLUSH;
        std::array<char, 1 << 16> buffer{};
        int status = Z_OK;
        do {
            stream_.next_out = reinterpret_cast<Bytef*>(buffer.data());
            stream_.avail_out = static_cast<uInt>(buffer.size());
            status = deflate(&stream_, flush);
            compressed_.append(buffer.data(), buffer.size() - stream_.avail_out);
        } while (stream_.avail_out == 0 || (last && status != Z_STREAM_END));
    }
    const std::string& compressed() const { return compressed_; }

private:
    z_stream stream_{};
    std::string compressed_;
};

std::string straightRow(const Bitmap& bitmap, int y) {
    std::string bytes(static_cast<std::size_t>(bitmap.width()) * 4, '\0');
    const std::uint32_t* words = bitmap.row(y);
    for (int x = 0; x < bitmap.width(); ++x) {
        Pixel p = unpremultiply(words[x]);
        std::size_t at = static_cast<std::size_t>(x) * 4;
        bytes[at] = static_cast<char>(p.red);
        bytes[at + 1] = static_cast<char>(p.green);
        bytes[at + 2] = static_cast<char>(p.blue);
        bytes[at + 3] = static_cast<char>(p.alpha);
    }
    return bytes;
}

}  // namespace

std::string encodePNG(const Bitmap& bitmap) {
    if (bitmap.empty()) return {};
    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(bitmap.width()));
    putBigEndian(header, static_cast<std::uint32_t>(bitmap.height()));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, standard filters, no interlace
    putChunk(out, "IHDR", header);

    RowDeflater deflater;
    std::string previous(static_cast<std::size_t>(bitmap.width()) * 4, '\0');
    for (int y = 0; y < bitmap.height(); ++y) {
        std::string current = straightRow(bitmap, y);
        std::string filtered(1, '\x02');
        filtered.resize(current.size() + 1);
        for (std::size_t i = 0; i < current.size(); ++i) {
            filtered[i + 1] = static_cast<char>(static_cast<std::uint8_t>(current[i]) -
                                                static_cast<std::uint8_t>(previous[i]));
        }
        deflater.add(filtered, y + 1 == bitmap.height());
        previous = std::move(current);
    }
    putChunk(out, "IDAT", deflater.compressed());
    putChunk(out, "IEND", "");
    return out;
}

bool writePNG(const Bitmap& bitmap, const std::filesystem::path& file, std::string* why) {
    if (bitmap.empty()) {
        if (why) *why = "the image has no pixels";
        return false;
    }
    return writeFileAtomically(file, encodePNG(bitmap), 0644, why);
}

}  // namespace platform::render
