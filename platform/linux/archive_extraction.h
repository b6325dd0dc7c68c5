#pragma once

#include <string>

namespace kestralune {

// Unpacks the update archive at `archivePath` (a tar archive, plain or compressed with gzip or
// xz) into `destination`, an existing empty folder. Blocks; runs on a background thread, and
// may run on several. libarchive learns the process's umask by setting it to 0 for an instant
// at each entry: a file another thread creates at that instant gets no umask.
//
// The archive comes from the network, so the whole of it is refused at the first entry that
// could reach outside `destination` or is not plain content: an absolute path, a ".."
// component, a symbolic link that is absolute or climbs out of `destination` (a ".." after a
// name counts as climbing out, since the name may itself be a link), a hard link to an
// absolute path or one with "..", a device, FIFO or socket, an entry written through a link
// unpacked before it, and a path of PATH_MAX or more once placed. Also refused: more than
// 100,000 entries or more than 2 GiB in all.
// Owners are not restored; permission bits are, without setuid, setgid and sticky.
//
// Returns an empty string on success, otherwise one sentence naming the archive and the
// reason (the refused entry, or libarchive's message for a corrupt or truncated archive).
// Whatever was unpacked before a failure stays: the caller removes `destination`.
[[nodiscard]] std::string extractUpdateArchive(const std::string& archivePath,
                                               const std::string& destination);

}  // namespace kestralune
