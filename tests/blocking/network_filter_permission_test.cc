#include "blocking/network_filter_permission.h"

#include "platform/testing/fake_network_filter_manager.h"
#include "platform/testing/manual_run_loop.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

namespace kestralune {
namespace {

// Info.plist keys: the extension point named `point`, and the provider classes `classes`.
std::string extensionPoint(const std::string& point) {
    return "<key>NSExtension</key><dict><key>NSExtensionPointIdentifier</key>" + point + "</dict>";
}
std::string providerClasses(const std::string& classes) {
    return "<key>NetworkExtension</key><dict><key>NEProviderClasses</key>" + classes + "</dict>";
}
const std::string kFilterData = "com.apple.networkextension.filter-data";
const std::string kFilterPoint = extensionPoint("<string>" + kFilterData + "</string>");
const std::string kSaved =
    "Network filter permission enabled. Kestralune can apply browser-independent web blocking "
    "after the filter extension target is signed.";

// A request's completions when it answered once.
std::vector<EncodableMap> once(bool enabled, const std::string& summary) {
    return {EncodableMap{{"enabled", enabled}, {"summary", summary}}};
}

class NetworkFilterTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", config.c_str(), 1); }
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

    // A bundle at `relative` whose Info.plist dictionary holds `keys`.
    std::string bundle(const std::string& relative, const std::string& keys) {
        root.write(relative + "/Contents/Info.plist",
                   "<plist version=\"1.0\"><dict>" + keys + "</dict></plist>");
        return (root.path() / relative).string();
    }

    // Every completion the request makes, once the run loop has nothing left to do.
    std::vector<EncodableMap> request(const std::shared_ptr<NetworkFilterManager>& manager) {
        std::vector<EncodableMap> outcomes;
        requestNetworkFilterPermission(app, manager,
                                       [&](EncodableMap outcome) { outcomes.push_back(outcome); });
        runLoop.runUntilIdle();
        return outcomes;
    }

    TempDirectory root;
    const std::string app = (root.path() / "Kestralune.app").string();
    const std::string config = (root.path() / "config").string();
    ManualRunLoop runLoop;
};

// Fault: a bundle passes with the wrong extension point, a non-string identifier, a non-map
// value or an array naming the class, or without Info.plist; either test alone does not
// suffice; the second folder is not searched; the filter manager is touched with nothing to
// configure.
TEST_F(NetworkFilterTest, FindsAProviderByEitherTestInEitherFolder) {
    auto manager = std::make_shared<FakeNetworkFilterManager>(runLoop);
    std::filesystem::create_directories(app + "/Contents/PlugIns/Plain.appex/Contents");
    const std::string plugIns = "Kestralune.app/Contents/PlugIns/";
    bundle(plugIns + "Widget.appex", extensionPoint("<string>com.apple.widgetkit</string>"));
    bundle(plugIns + "A.appex",
           extensionPoint("<array><string>" + kFilterData + "</string></array>"));
    bundle(plugIns + "B.appex", "<key>NSExtension</key><string>" + kFilterData + "</string>");
    bundle(plugIns + "C.appex",
           providerClasses("<array><string>" + kFilterData + "</string></array>"));
    EXPECT_EQ(request(manager), once(false,
                                     "This build does not contain a network filter "
                                     "extension. Website blocking uses the macOS "
                                     "automatic proxy."));
    EXPECT_TRUE(manager->calls.empty());

    bundle("Kestralune.app/Contents/Library/SystemExtensions/F.systemextension",
           providerClasses("<dict><key>" + kFilterData + "</key><true/></dict>"));
    EXPECT_EQ(request(manager), once(true, kSaved));
}

// Fault: the preferences file holds other or fewer settings than the filter's table; a failed
// read or write is taken for success, reported more than once, or its reason is lost.
TEST_F(NetworkFilterTest, SavesExactlyTheConfigurationOrNamesTheFailure) {
    bundle("Kestralune.app/Contents/PlugIns/Filter.appex", kFilterPoint);
    EXPECT_EQ(request(makeNetworkFilterManager(runLoop)), once(true, kSaved));
    const std::string folder = config + "/Kestralune";
    const std::string path = folder + "/NetworkFilter.plist";
    const PlistValue::Dictionary provider{
        {"organization", "Kestralune"},
        {"filterSockets", true},
        {"vendorConfiguration",
         PlistValue::Dictionary{{"configURL", "http://127.0.0.1:18081/config.json"},
                                {"blockURL", "http://127.0.0.1:18081/blocked"}}}};
    EXPECT_EQ(parsePropertyList(TempDirectory::read(path)),
              PlistValue(PlistValue::Dictionary{{"localizedDescription", "Kestralune Web Blocking"},
                                                {"enabled", true},
                                                {"providerConfiguration", provider}}));

    root.write("config/Kestralune/NetworkFilter.plist", "<plist><string>");
    EXPECT_EQ(request(makeNetworkFilterManager(runLoop)),
              once(false, "Network filter preferences could not be loaded: Could not read " + path +
                              ": the file is not a property list dictionary"));
    // A dangling link: nothing to load, and no folder to save in.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory_symlink(root.path() / "gone", folder);
    EXPECT_EQ(
        request(makeNetworkFilterManager(runLoop)),
        once(false, "Network filter permission was not enabled: Could not create the folder " +
                        folder + ": No such file or directory"));
}

}  // namespace
}  // namespace kestralune
