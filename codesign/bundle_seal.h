#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kestralune {

// One entry of a bundle as its seal sees it.
struct SealedEntry {
    enum class Type { file, symbolicLink, other };  // other: a device, FIFO or socket
    Type type = Type::other;
    std::string value;  // file: the 32 bytes of its SHA-256 (when hashed); link: its target
};

// A bundle's entries by path relative to its root ("Contents/Info.plist"); folders are not
// entries.
using BundleEntries = std::map<std::string, SealedEntry>;

// Where a bundle keeps its signature, relative to its root.
inline constexpr const char* kSignatureFolder = "Contents/_CodeSignature";

// Lists everything below `root` but folders, without following links, leaving out the root's
// own signature folder (a nested bundle's is ordinary content here). Hashes files only with
// `hashFiles`. Returns an empty string, or a short reason naming what could not be read.
[[nodiscard]] std::string scanBundle(const std::filesystem::path& root, bool hashFiles,
                                     BundleEntries& entries);

// The seal as CodeResources carries it, an XML property list
// {"files2": {PATH: {"hash2": DATA} | {"symlink": TARGET}}} of the files and links of `seal`;
// nothing when a path or target is not text such a list can carry.
std::optional<std::string> codeResourcesText(const BundleEntries& seal);

// Reads CodeResources back. Returns an empty string, or why it is not a seal (paths must be
// plain relative paths inside the bundle, digests 32 bytes).
[[nodiscard]] std::string parseCodeResources(const std::string& text, BundleEntries& seal);

// Compares the bundle at `root` with its seal: every sealed entry must be there, of the same
// type, with the same contents or target. With `strict`, nothing unsealed may be there either,
// and no sealed link may point to an absolute path or, read lexically, out of the bundle.
// Returns an empty string, or a short reason naming the first difference.
[[nodiscard]] std::string checkSeal(const std::filesystem::path& root, const BundleEntries& seal,
                                    bool strict);

}  // namespace kestralune
