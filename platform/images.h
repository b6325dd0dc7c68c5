#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// Pictures the UI shows: the user's profile photo and the icons of chosen applications.
//
// Every function decodes untrusted bytes (a file the user picked, base64 sent by the UI, an
// icon inside any bundle), so each refuses, before decoding pixels, input larger than
// kMaxImageInputBytes and images whose header claims more than kMaxImagePixels. Formats: PNG,
// JPEG, GIF (its first frame), TIFF (its first page), WebP and HEIC; the decoders of other
// formats, written for trusted input, stay unused. Blocking, thread-safe, callable from any
// thread; a 12-megapixel JPEG takes some tens of milliseconds. Nothing is cached between calls.

inline constexpr std::size_t kMaxImageInputBytes = 20 * 1024 * 1024;
inline constexpr std::uint64_t kMaxImagePixels = 50'000'000;
inline constexpr std::size_t kMaxProfilePhotoBytes = 180'000;
inline constexpr int kProfilePhotoSide = 256;
inline constexpr int kApplicationIconSide = 64;

// The profile photo made from an image: a 256x256 JPEG (quality 78) on white. The image,
// turned upright by its EXIF orientation, is scaled so that its shorter side becomes 256
// pixels (up or down), centred, and the overflow of the longer side cut off equally at both
// ends; transparency is painted over white. Nothing when the bytes are not an image of a
// known format, break a limit above, or the JPEG would exceed kMaxProfilePhotoBytes.
std::optional<std::string> normalizedProfilePhoto(std::string_view imageBytes);

// The same for the image in a file; a file larger than kMaxImageInputBytes is refused before
// it is read, and so is anything that is not a regular file.
std::optional<std::string> normalizedProfilePhotoFromFile(const std::string& path);

// The icon of the application bundle at `bundlePath` as a 64x64 PNG with transparency; the
// empty string when the bundle names no icon or it cannot be read. The icon is the file that
// Info.plist's CFBundleIconFile names in Contents/Resources/ (".icns" added when the name has
// no extension, a name with "/" refused): an .icns container, of whose PNG images the
// smallest at least 64 pixels wide is taken (else the largest), or an image file of a format
// above. A non-square icon is fitted inside the square, centred on transparency.
std::string applicationIconPng(const std::string& bundlePath);

}  // namespace kestralune
