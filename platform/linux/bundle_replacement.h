#pragma once

#include <string>

namespace kestralune {

// Putting a downloaded bundle in the place of the installed one. The calls block on the file
// system, so the updater makes them on a background thread; they keep no state. Bundle paths name
// the bundle's folder itself, without a trailing "/". Each returns an empty string on success,
// otherwise one sentence naming the path and the system's reason.

// Creates a new private (0700) folder beside `installedBundlePath`, on the same file system so
// that the new bundle can be renamed into place from it, named ".<bundle name>.update-XXXXXX";
// its path goes to `folder`.
[[nodiscard]] std::string makeUpdateStagingFolder(const std::string& installedBundlePath,
                                                  std::string& folder);

// Puts the bundle at `newBundlePath` (in the same file system) at `installedPath` so that a
// crash at any moment leaves a whole bundle there, the old or the new: the two are swapped in
// one atomic exchange, the folder is flushed, then the old bundle (now at `newBundlePath`) is
// removed. When the file system cannot exchange, replaceBundleByRenames takes over. Removing
// the old bundle is no part of success: a failure there is written to the log and the old
// copy stays where it is.
[[nodiscard]] std::string replaceBundle(const std::string& installedPath,
                                        const std::string& newBundlePath);

// The replacement for file systems without an atomic exchange: the installed bundle is renamed
// aside (".<bundle name>.replaced-XXXXXX" beside it), the new one renamed into its place, the
// folder flushed, and the old copy removed as above. When the new bundle cannot be moved in,
// the old one is moved back and the failure returned. A crash between the two renames leaves
// nothing at `installedPath` and the old bundle aside.
[[nodiscard]] std::string replaceBundleByRenames(const std::string& installedPath,
                                                 const std::string& newBundlePath);

// Removes `path` and everything below it, without following symbolic links; folders their
// owner made read-only are opened up first. A path that does not exist counts as removed.
[[nodiscard]] std::string removeTree(const std::string& path);

}  // namespace kestralune
