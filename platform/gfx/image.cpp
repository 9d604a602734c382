#include "platform/gfx/image.h"

#include <array>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "platform/foundation/bundle.h"

namespace platform::gfx {

namespace {

std::mutex registryMutex;
std::map<std::string, Image>& registry() {
    static std::map<std::string, Image> images;
    return images;
}

constexpr std::array<const char*, 16> knownSymbols{
    "lock.fill", "lock.open.fill", "xmark", "plus", "minus", "checkmark", "chevron.left", "chevron.right",
    "square.and.arrow.up", "play.fill", "pause.fill", "star", "star.fill", "questionmark.circle", "info.circle",
    "trash"};

// Width and height of a PNG file from its header; none when it is no PNG.
std::optional<Size> pngSize(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, 24> header{};
    if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return std::nullopt;
    static constexpr std::array<unsigned char, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (std::size_t i = 0; i < signature.size(); ++i) {
        if (header[i] != signature[i]) return std::nullopt;
    }
    auto be32 = [&](std::size_t at) {
        return (static_cast<std::uint32_t>(header[at]) << 24) | (static_cast<std::uint32_t>(header[at + 1]) << 16) |
               (static_cast<std::uint32_t>(header[at + 2]) << 8) | static_cast<std::uint32_t>(header[at + 3]);
    };
    return Size{static_cast<double>(be32(16)), static_cast<double>(be32(20))};
}

std::optional<Image> bundleImage(const std::string& name) {
    const Bundle& bundle = Bundle::main();
    for (auto [suffix, scale] : {std::pair{"@3x", 3.0}, std::pair{"@2x", 2.0}, std::pair{"", 1.0}}) {
        auto path = bundle.pathForResource(name + suffix, "png");
        if (!path) continue;
        auto pixels = pngSize(*path);
        if (!pixels) continue;
        return Image(Size{pixels->width / scale, pixels->height / scale}, scale, {}, name);
    }
    return std::nullopt;
}

std::atomic<double> currentDisplayScale{3.0};

}  // namespace

Image::Image(Size size, double scale, DisplayList drawing, std::string name)
    : size_(size), scale_(scale > 0 ? scale : 1), drawing_(std::make_shared<const DisplayList>(std::move(drawing))),
      name_(std::move(name)) {}

std::optional<Image> Image::named(const std::string& name) {
    if (name.empty()) return std::nullopt;
    {
        std::lock_guard lock(registryMutex);
        auto it = registry().find(name);
        if (it != registry().end()) return it->second;
    }
    return bundleImage(name);
}

std::optional<Image> Image::systemNamed(const std::string& name) {
    for (const char* symbol : knownSymbols) {
        if (name == symbol) {
            Image image(Size{24, 24}, displayScale(), {}, name);
            image.symbol_ = true;
            image.mode_ = RenderingMode::alwaysTemplate;
            return image;
        }
    }
    return std::nullopt;
}

void Image::registerNamed(const std::string& name, const Image& image) {
    std::lock_guard lock(registryMutex);
    Image copy = image;
    copy.name_ = name;
    registry().insert_or_assign(name, copy);
}

void Image::unregisterAll() {
    std::lock_guard lock(registryMutex);
    registry().clear();
}

const DisplayList& Image::drawing() const { return *drawing_; }

Image Image::withRenderingMode(RenderingMode mode) const {
    Image copy = *this;
    copy.mode_ = mode;
    return copy;
}

std::string Image::description() const {
    return "image(" + (name_.empty() ? std::string() : name_ + " ") + formatNumber(size_.width) + "x" +
           formatNumber(size_.height) + ")";
}

bool Image::operator==(const Image& other) const {
    return size_ == other.size_ && scale_ == other.scale_ && name_ == other.name_ && symbol_ == other.symbol_ &&
           mode_ == other.mode_ && (drawing_ == other.drawing_ || drawing_->dump() == other.drawing_->dump());
}

double displayScale() { return currentDisplayScale.load(); }
void setDisplayScale(double scale) { currentDisplayScale.store(scale > 0 ? scale : 1); }

ImageRenderer::ImageRenderer(Size size, ImageRendererFormat format) : size_(size), format_(format) {}

std::optional<Image> ImageRenderer::image(const std::function<void(GraphicsContext&)>& actions) const {
    if (!(size_.width > 0) || !(size_.height > 0)) return std::nullopt;
    double scale = format_.scale > 0 ? format_.scale : displayScale();
    GraphicsContext context(size_, scale);
    {
        ContextScope scope(context);
        if (actions) actions(context);
    }
    return Image(size_, scale, context.takeDisplayList());
}

namespace {
thread_local std::vector<std::unique_ptr<GraphicsContext>> imageContexts;
}

void beginImageContext(Size size, bool, double scale) {
    if (!(size.width > 0) || !(size.height > 0)) {
        imageContexts.push_back(nullptr);  // keeps begin and end paired
        return;
    }
    imageContexts.push_back(std::make_unique<GraphicsContext>(size, scale > 0 ? scale : displayScale()));
    GraphicsContext::push(imageContexts.back().get());
}

std::optional<Image> imageFromCurrentImageContext() {
    if (imageContexts.empty() || !imageContexts.back()) return std::nullopt;
    const GraphicsContext& context = *imageContexts.back();
    return Image(context.size(), context.scale(), context.displayList());
}

void endImageContext() {
    if (imageContexts.empty()) return;
    if (imageContexts.back()) GraphicsContext::pop();
    imageContexts.pop_back();
}

}  // namespace platform::gfx
