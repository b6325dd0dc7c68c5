#include "platform/trash.h"

#include <gio/gio.h>

namespace kestralune {

std::string moveToTrash(const std::string& path) {
    // The local file system's own implementation writes the trash directly; the default one
    // may load a GVfs module that wants a session bus first.
    GFile* file = g_vfs_get_file_for_path(g_vfs_get_local(), path.c_str());
    GError* error = nullptr;
    const bool moved = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (moved) {
        return "";
    }
    std::string sentence = "Could not move " + path + " to the Trash: " + error->message;
    g_error_free(error);
    return sentence;
}

}  // namespace kestralune
