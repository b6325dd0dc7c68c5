#include "host/application_choice.h"

#include "platform/base64.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

namespace kestralune {
namespace {

// Fault: a name taken in the wrong order (or with its extension), a folder that is not a
// bundle without its path as identifier, or an icon lost on the way to the UI.
TEST(ApplicationChoiceTest, NamesIdentifiersAndIconsOfChosenItems) {
    TempDirectory root;
    const auto plist = [](const std::string& entries) {
        return "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>";
    };
    const auto entry = [](const char* key, const char* value) {
        return std::string("<key>") + key + "</key><string>" + value + "</string>";
    };
    root.write("Shown.app/Contents/Info.plist",
               plist(entry("CFBundleDisplayName", "Shown Name") + entry("CFBundleName", "Short") +
                     entry("CFBundleIdentifier", "com.example.shown") +
                     entry("CFBundleIconFile", "icon.png")));
    root.write(
        "Shown.app/Contents/Resources/icon.png",
        *base64Decoded("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEh"
                       "QGAhKmMIQAAAABJRU5ErkJggg=="));
    root.write("Named.app/Contents/Info.plist", plist(entry("CFBundleName", "Short")));
    std::filesystem::create_directories(root.path() / "Plain Folder.v2");

    const struct {
        const char* item;
        const char* name;
        std::string identifier;
    } rows[] = {
        {"Shown.app", "Shown Name", "com.example.shown"},
        {"Named.app", "Short", ""},
        {"Plain Folder.v2", "Plain Folder", ""},
    };
    for (const auto& row : rows) {
        const std::string path = (root.path() / row.item).string();
        const auto chosen = chosenApplication(path);
        EXPECT_EQ(chosen.at(EncodableValue("name")), EncodableValue(row.name)) << row.item;
        EXPECT_EQ(chosen.at(EncodableValue("path")), EncodableValue(path));
        EXPECT_EQ(chosen.at(EncodableValue("bundleIdentifier")),
                  EncodableValue(row.identifier.empty() ? path : row.identifier));
        const auto icon =
            base64Decoded(*chosen.at(EncodableValue("iconBase64")).getIf<std::string>());
        EXPECT_EQ(icon && icon->starts_with("\x89PNG"), row.item == std::string("Shown.app"))
            << row.item;
    }
}

}  // namespace
}  // namespace kestralune
