#include "platform/images.h"

#include <vips/vips8>

#include <memory>
#include <vector>

#include "platform/bundle.h"
#include "platform/files.h"

namespace kestralune {

namespace {

using vips::VError;
using vips::VImage;

// Started once per process. The operation cache is off: every picture is decoded once, and a
// cache would only keep its pixels in the host's memory. Decoders that libvips marks as
// unfit for untrusted input (PDF, SVG, ImageMagick, FITS, ...) are blocked.
bool vipsStarted() {
    static const bool started = [] {
        if (VIPS_INIT("kestralune") != 0) {
            vips_error_clear();
            return false;
        }
        vips_cache_set_max(0);
        vips_block_untrusted_set(TRUE);
        return true;
    }();
    return started;
}

struct BlobUnref {
    void operator()(VipsBlob* blob) const { vips_area_unref(VIPS_AREA(blob)); }
};

// The image in `bytes`, upright, scaled so that it covers the side x side square and cut to
// it (`crop` centre) or so that it fits inside it (`crop` none). Nothing when a limit is
// broken. The pixels stream through the pipeline a few lines at a time, and where the format
// allows (JPEG by 2, 4 or 8; WebP; HEIC's own thumbnail) the decoder reads them at a reduced
// size: a large photo never lives in memory whole. Throws VError.
std::optional<VImage> upright(std::string_view bytes, int side, VipsInteresting crop) {
    if (bytes.size() > kMaxImageInputBytes || !vipsStarted()) {
        return std::nullopt;
    }
    // A header alone: the pixels are decoded on first use, which never comes.
    const VImage header = VImage::new_from_buffer(
        bytes.data(), bytes.size(), "", VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    if (static_cast<std::uint64_t>(header.width()) * static_cast<std::uint64_t>(header.height()) >
        kMaxImagePixels) {
        return std::nullopt;
    }
    const std::unique_ptr<VipsBlob, BlobUnref> blob(
        vips_blob_new(nullptr, bytes.data(), bytes.size()));
    return VImage::thumbnail_buffer(blob.get(), side,
                                    VImage::option()->set("height", side)->set("crop", crop));
}

// `format` is a file suffix with the saver's options, as in ".png[strip]".
std::string encoded(const VImage& image, const char* format) {
    void* buffer = nullptr;
    std::size_t size = 0;
    image.write_to_buffer(format, &buffer, &size);
    std::string bytes(static_cast<const char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

std::optional<std::string> profilePhoto(std::string_view bytes) {
    const auto image = upright(bytes, kProfilePhotoSide, VIPS_INTERESTING_CENTRE);
    if (!image) {
        return std::nullopt;
    }
    VImage photo = image->colourspace(VIPS_INTERPRETATION_sRGB);
    if (photo.has_alpha()) {
        photo = photo.flatten(
            VImage::option()->set("background", std::vector<double>{255.0, 255.0, 255.0}));
    }
    std::string jpeg = encoded(photo.cast(VIPS_FORMAT_UCHAR), ".jpg[Q=78,strip]");
    if (jpeg.size() > kMaxProfilePhotoBytes) {
        return std::nullopt;
    }
    return jpeg;
}

std::string iconPng(std::string_view bytes) {
    const auto image = upright(bytes, kApplicationIconSide, VIPS_INTERESTING_NONE);
    if (!image) {
        return {};
    }
    VImage icon = image->colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
    if (!icon.has_alpha()) {
        icon = icon.bandjoin_const({255.0});
    }
    icon = icon.gravity(VIPS_COMPASS_DIRECTION_CENTRE, kApplicationIconSide, kApplicationIconSide,
                        VImage::option()
                            ->set("extend", VIPS_EXTEND_BACKGROUND)
                            ->set("background", std::vector<double>{0.0, 0.0, 0.0, 0.0}));
    return encoded(icon, ".png[strip]");
}

std::uint32_t bigEndian32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + index]);
    }
    return value;
}

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1A\n";

// The PNG to draw a 64-pixel icon from among those of an .icns container: the smallest at
// least that wide (enlarging blurs; a 1024-pixel image costs many times more to decode for
// the same result), else the largest. Nothing when there is none, or when a length in the
// container runs past its end or is too short to hold its own header. `file` opens with
// "icns".
std::optional<std::string_view> icnsImage(std::string_view file) {
    if (file.size() < 8) {
        return std::nullopt;
    }
    const std::size_t total = bigEndian32(file, 4);
    if (total < 8 || total > file.size()) {
        return std::nullopt;
    }
    std::optional<std::string_view> best;
    std::uint32_t bestWidth = 0;
    for (std::size_t at = 8; at < total;) {
        const std::size_t length = total - at >= 8 ? bigEndian32(file, at + 4) : 0;
        if (length < 8 || length > total - at) {
            return std::nullopt;
        }
        const std::string_view data = file.substr(at + 8, length - 8);
        at += length;
        // The signature, then the IHDR chunk whose data opens with the width.
        if (data.size() < 24 || !data.starts_with(kPngSignature)) {
            continue;
        }
        const std::uint32_t width = bigEndian32(data, 16);
        const bool bestTooSmall = bestWidth < static_cast<std::uint32_t>(kApplicationIconSide);
        if (!best || (bestTooSmall ? width > bestWidth
                                   : width < bestWidth && width >= kApplicationIconSide)) {
            best = data;
            bestWidth = width;
        }
    }
    return best;
}

}  // namespace

std::optional<std::string> normalizedProfilePhoto(std::string_view imageBytes) {
    try {
        return profilePhoto(imageBytes);
    } catch (const VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

std::optional<std::string> normalizedProfilePhotoFromFile(const std::string& path) {
    const auto bytes = readFile(path, kMaxImageInputBytes);
    return bytes ? normalizedProfilePhoto(*bytes) : std::nullopt;
}

std::string applicationIconPng(const std::string& bundlePath) {
    const auto bundle = bundleAtPath(bundlePath);
    if (!bundle) {
        return {};
    }
    const auto named = bundle->infoDictionary.find("CFBundleIconFile");
    const std::string* name =
        named == bundle->infoDictionary.end() ? nullptr : named->second.get<std::string>();
    if (name == nullptr || name->empty() || name->find('/') != std::string::npos) {
        return {};
    }
    const bool hasExtension = name->find('.') != std::string::npos;
    const auto file =
        readFile(bundlePath + "/Contents/Resources/" + *name + (hasExtension ? "" : ".icns"),
                 kMaxImageInputBytes);
    if (!file) {
        return {};
    }
    std::string_view image = *file;
    if (image.starts_with("icns")) {
        const auto embedded = icnsImage(image);
        if (!embedded) {
            return {};
        }
        image = *embedded;
    }
    try {
        return iconPng(image);
    } catch (const VError&) {
        vips_error_clear();
        return {};
    }
}

}  // namespace kestralune
