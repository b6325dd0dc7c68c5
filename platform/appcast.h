#pragma once

#include "platform/software_updater.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// The items of an appcast: an RSS 2.0 document whose items describe releases with the
// sparkle: namespace (sparkle:version, sparkle:shortVersionString, and an enclosure with
// url, length, type and sparkle:edSignature; the two versions may also be enclosure
// attributes, as older feeds write them). Returns an empty string, or one sentence saying
// why the text is not such a document. Items without a version or an enclosure URL are left
// out; a missing length reads as 0.
std::string parseAppcast(std::string_view text, std::vector<AppcastItem>& items);

// Compares two build numbers made of decimal numbers joined by dots ("1", "2.10.3"), part by
// part as numbers, a missing part counting as 0 ("1.0" equals "1"). Negative, zero or
// positive as `a` is older than, the same as or newer than `b`; nothing when either is not
// such a number.
std::optional<int> compareVersions(std::string_view a, std::string_view b);

// The newest item whose version is newer than `currentVersion`; nothing when there is none
// (or the current version cannot be compared). Items whose versions cannot be compared are
// passed over.
std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                      std::string_view currentVersion);

}  // namespace kestralune
