#include "platform/images.h"

#include "platform/base64.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <vips/vips8>

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/platform/temp_directory.h"

namespace kestralune {
namespace {

using namespace std::string_view_literals;
using vips::VImage;
using Colour = std::vector<double>;
const Colour kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kYellow{255, 255, 0},
    kBlack{0, 0, 0}, kWhite{255, 255, 255};

using Probe = std::tuple<int, int, Colour>;

std::string encoded(const VImage& image, const char* suffix) {
    void* buffer = nullptr;
    std::size_t size = 0;
    image.write_to_buffer(suffix, &buffer, &size);
    std::string bytes(static_cast<char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

VImage block(int width, int height, const Colour& colour) {
    return VImage::black(width, height).new_from_image(colour);
}

std::string png(int width, int height, const Colour& colour) {
    return encoded(block(width, height, colour), ".png");
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

void expectPixels(const std::string& bytes, int side, const std::vector<Probe>& probes) {
    const VImage image = VImage::new_from_buffer(bytes.data(), bytes.size(), "");
    ASSERT_EQ(std::pair(image.width(), image.height()), std::pair(side, side));
    for (const auto& [x, y, colour] : probes) {
        const Colour seen = image.getpoint(x, y);
        for (std::size_t band = 0; band < colour.size(); ++band) {
            EXPECT_NEAR(seen[band], colour[band], 40) << x << "," << y << " band " << band;
        }
    }
}

// Fails if the photo is squeezed, letterboxed, cut off-centre or not scaled (up or down), lies
// on its side despite its EXIF orientation, shows a GIF's later frame, or has transparency
// painted on anything but white.
TEST(ImagesTest, ProfilePhotoCoversTheSquareFromTheCentre) {
    // 1000x500: the square to keep, [250, 750), opens with a yellow stripe; green over black.
    const VImage wide = block(1000, 500, kRed)
                            .insert(block(500, 500, kBlack), 250, 0)
                            .insert(block(500, 250, kGreen), 250, 0)
                            .insert(block(50, 500, kYellow), 250, 0)
                            .insert(block(250, 500, kBlue), 750, 0);
    const auto halves = [](int width, int height) {
        return block(width, height, kBlue).insert(block(width / 2, height, kRed), 0, 0);
    };
    VImage sideways = halves(200, 100).copy();
    sideways.set("orientation", 6);  // turned right to be seen: its left half on top
    VImage frames = block(30, 60, kGreen).insert(block(30, 30, kRed), 0, 30).copy();
    frames.set("page-height", 30);
    const VImage veiled =
        block(40, 40, {0, 0, 0, 0}).insert(block(20, 20, {255, 0, 0, 128}), 10, 10);
    const std::vector<std::pair<std::string, std::vector<Probe>>> rows{
        {encoded(wide, ".png"),
         {{4, 60, kYellow}, {60, 60, kGreen}, {251, 60, kGreen}, {60, 196, kBlack}}},
        {encoded(halves(10, 10), ".png"),
         {{2, 2, kRed}, {2, 253, kRed}, {253, 2, kBlue}, {253, 253, kBlue}}},
        {encoded(sideways, ".jpg"),
         {{4, 4, kRed}, {251, 4, kRed}, {4, 251, kBlue}, {251, 251, kBlue}}},
        {encoded(frames, ".gif"), {{4, 4, kGreen}, {251, 251, kGreen}}},
        {encoded(veiled, ".png"),
         {{2, 2, kWhite}, {253, 253, kWhite}, {128, 128, {255, 127, 127}}}},
    };
    for (const auto& [bytes, probes] : rows) {
        const auto photo = normalizedProfilePhoto(bytes);
        ASSERT_TRUE(photo);
        EXPECT_TRUE(photo->starts_with("\xFF\xD8\xFF"));
        EXPECT_LE(photo->size(), kMaxProfilePhotoBytes);
        expectPixels(*photo, kProfilePhotoSide, probes);
    }
}

// Fails if bytes that are no picture, or a picture past a limit, make a photo. Both limit rows
// decode without their check: PNG decoders stop before trailing bytes, and the bomb's header,
// claiming 100,000 x 100,000 pixels, is sound (libvips would stream 10^10 black pixels).
TEST(ImagesTest, ProfilePhotoRefusesGarbageAndPicturesPastTheLimits) {
    const std::string small = png(8, 8, kGreen);
    std::string bomb = std::string(small).replace(16, 8, bigEndian(100'000) + bigEndian(100'000));
    const auto* header = reinterpret_cast<const Bytef*>(bomb.data() + 12);  // IHDR's type, data
    bomb.replace(29, 4, bigEndian(static_cast<std::uint32_t>(crc32(0, header, 17))));
    const std::string padded = small + std::string(kMaxImageInputBytes + 1 - small.size(), '\0');
    for (const std::string& bytes :
         {std::string("not a picture"), small.substr(0, 40), bomb, padded}) {
        EXPECT_FALSE(normalizedProfilePhoto(bytes)) << bytes.size();
    }
    EXPECT_TRUE(normalizedProfilePhoto(padded.substr(0, kMaxImageInputBytes)));
    const TempDirectory folder;
    EXPECT_FALSE(normalizedProfilePhotoFromFile(folder.write("padded.png", padded)));
}

std::string icns(const std::vector<std::pair<std::string, std::string>>& chunks) {
    std::string body;
    for (const auto& [type, data] : chunks) {
        body += type + bigEndian(static_cast<std::uint32_t>(data.size() + 8)) + data;
    }
    return "icns" + bigEndian(static_cast<std::uint32_t>(body.size() + 8)) + body;
}

// Fails if the wrong image of an .icns is drawn, a chunk's length is trusted, a non-square icon
// is stretched, a file outside Resources/ is read, or a bundle without a usable icon gives
// anything but the empty string.
TEST(ImagesTest, ApplicationIconComesFromTheBundlesIconFile) {
    const std::string chunks = icns({{"ic04", png(16, 16, kRed)},
                                     {"TOC ", "ic04"},
                                     {"ic09", png(512, 512, kBlue)},
                                     {"ic07", png(128, 128, kGreen)}});
    const TempDirectory folder;
    const Colour kSolid{0, 255, 0, 255}, kClear{0, 0, 0, 0};
    const std::string smallChunks =
        icns({{"icp4", png(16, 16, kRed)}, {"icp5", png(32, 32, kBlue)}});
    for (const auto& [iconName, fileName, bytes, probes] :
         std::vector<std::tuple<std::string, std::string, std::string, std::vector<Probe>>>{
             {"AppIcon", "AppIcon.icns", chunks, {{32, 32, kSolid}}},
             {"Small.icns", "Small.icns", smallChunks, {{32, 32, {0, 0, 255, 255}}}},
             {"W.png", "W.png", png(100, 50, kGreen), {{32, 32, kSolid}, {32, 4, kClear}}},
             // A first chunk too short to hold its own header, or running past the end.
             {"A.icns", "A.icns", std::string(chunks).replace(12, 4, bigEndian(0)), {}},
             {"B.icns", "B.icns", std::string(chunks).replace(12, 4, bigEndian(1 << 20)), {}},
             {"../../../outside.png", "../../../outside.png", png(64, 64, kGreen), {}},
         }) {
        std::filesystem::remove_all(folder.path() / "Some.app");
        folder.write("Some.app/Contents/Info.plist",
                     R"(<plist version="1.0"><dict><key>CFBundleIconFile</key><string>)" +
                         iconName + "</string></dict></plist>");
        folder.write("Some.app/Contents/Resources/" + fileName, bytes);
        const std::string icon = applicationIconPng(folder.path() / "Some.app");
        if (probes.empty()) {
            EXPECT_TRUE(icon.empty()) << iconName;
        } else {
            expectPixels(icon, kApplicationIconSide, probes);
        }
    }
}

// Fails if a last group is dropped or padded wrongly, a high byte is sign-extended, or decoding
// skips what NSData refuses: white space, line breaks, the URL-safe letters, a length that is no
// multiple of four, padding inside the text or more than two "=".
TEST(Base64Test, RoundTripsAndRefusesAnythingButStrictText) {
    for (const auto& [bytes, text] : std::vector<std::pair<std::string_view, std::string_view>>{
             {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\0\xFF\xFE"sv, "AP/+"}}) {
        EXPECT_EQ(base64Encoded(bytes), text);
        EXPECT_EQ(base64Decoded(text), bytes);
    }
    for (const auto text : {"Zm9"sv, "Zm9v\n"sv, " Zm9v"sv, "Zm 9v"sv, "Zm9v\0"sv, "Zm9v===="sv,
                            "Z==="sv, "===="sv, "Zm=v"sv, "Zg==Zg=="sv, "AP_-"sv}) {
        EXPECT_FALSE(base64Decoded(text)) << text;
    }
}

}  // namespace
}  // namespace kestralune
