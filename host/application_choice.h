#pragma once

#include "channel/encodable_value.h"

#include <string>

namespace kestralune {

// One item chosen in the applications panel, as the UI receives it: "name" (the bundle's
// CFBundleDisplayName, else its CFBundleName, else the file name without its extension),
// "path", "bundleIdentifier" (the path when the item is not a bundle or has none) and
// "iconBase64" (a 64x64 PNG, empty when there is no icon), all strings.
EncodableMap chosenApplication(const std::string& path);

}  // namespace kestralune
