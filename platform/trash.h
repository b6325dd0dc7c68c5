#pragma once

#include <string>

namespace kestralune {

// Moves the file or folder at `path` (a whole tree, such as an application bundle) to the
// freedesktop.org Trash of the volume that holds it, with the record of its original place
// and deletion date that lets a file manager restore it. Needs no session bus. "" on success;
// otherwise one sentence saying why, and nothing has moved. Any thread.
[[nodiscard]] std::string moveToTrash(const std::string& path);

}  // namespace kestralune
