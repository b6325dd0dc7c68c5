#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// The process-wide label table (localizedLabels): texts the UI supplies for the native
// menu, the quit-refused notice and the open panels. Empty at launch; replaced as a whole by
// the menu-bar sync. Main thread only.

// Replaces the whole table; keys missing from `labels` fall back to their defaults.
void replaceLocalizedLabels(std::map<std::string, std::string> labels);

// The current table, as last replaced.
const std::map<std::string, std::string>& localizedLabels();

// The table's text for `key`, or the fixed English default when the table lacks the key.
// Look texts up each time they are shown, so later syncs take effect. `key` must be one of
// the host's label keys ("menuQuit", "quitBlockedTitle", "ok", ...) or present in the table.
std::string localizedLabel(std::string_view key);

// The fixed English default for a label key; nothing for a key the host does not use.
std::optional<std::string_view> defaultLabel(std::string_view key);

}  // namespace kestralune
