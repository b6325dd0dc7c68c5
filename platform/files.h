#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// Small files written whole and read whole. Each operation that can fail returns an empty
// string on success, otherwise one sentence naming the path and the system's reason.

// Creates `path` and every missing parent with `mode`; folders that exist keep theirs.
[[nodiscard]] std::string createDirectories(const std::string& path, unsigned mode);

// Replaces the file at `path` with `bytes` so that a reader sees the old or the new content,
// never a part: a new temporary file beside it, private (0600) before any byte is written,
// flushed to disk, renamed over `path`, then the folder flushed. Nothing is left behind on
// failure.
[[nodiscard]] std::string replaceFile(const std::string& path, std::string_view bytes);

[[nodiscard]] std::string setFileMode(const std::string& path, unsigned mode);

// The whole file; nothing when it cannot be opened or read, is not a regular file, or
// holds more than `limit` bytes.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

// Removes the file; a file that is not there counts as removed. A folder its owner has made
// read-only does not keep the file: the owner's write permission is granted for the removal
// and taken back. False when the file is still there.
bool removeFile(const std::string& path);

}  // namespace kestralune
