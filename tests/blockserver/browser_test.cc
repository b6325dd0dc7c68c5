// Headless Chromium through the server's script. It names 127.0.0.1:18081, so the test needs
// that port: run it under the port's lock.

#include "blockserver/local_block_server.h"
#include "platform/testing/memory_user_defaults.h"
#include "platform/testing/settable_clock.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>

namespace kestralune {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// The top-left pixel of a PNG file as red, green and blue; empty when it cannot be read.
std::vector<int> cornerColour(const std::string& pngPath) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<png_byte> pixels;
    if (png_image_begin_read_from_file(&image, pngPath.c_str())) {
        image.format = PNG_FORMAT_RGB;
        pixels.resize(PNG_IMAGE_SIZE(image));
        png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    }
    return {pixels.begin(), pixels.begin() + std::min<std::ptrdiff_t>(3, pixels.size())};
}

class BrowserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kChromium)) {
            GTEST_SKIP() << "chromium is not installed";
        }
        char pattern[] = "/tmp/kestralune-browser-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        workDirectory = pattern;
        server->start();
        ASSERT_TRUE(server->isRunning()) << "port 18081 is taken";
    }
    void TearDown() override { std::filesystem::remove_all(workDirectory, ignored); }

    // Chromium's standard output for `url`, with a fresh profile and a time-out.
    std::string runChromium(const std::string& url, const std::string& extraFlags) {
        static int run = 0;
        const std::string command =
            std::string("timeout -k 5 25 ") + kChromium +
            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --disable-features=MediaRouter,OptimizationHints --hide-scrollbars --user-data-dir=" +
            workDirectory + "/profile-" + std::to_string(++run) +
            " --proxy-pac-url=http://127.0.0.1:18081/proxy.pac " + extraFlags + " '" + url +
            "' 2>/dev/null";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            for (std::size_t count; (count = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
                output.append(buffer, count);
            }
            pclose(pipe);
        }
        return output;
    }

    std::string workDirectory;
    std::error_code ignored;
    std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    std::unique_ptr<LocalBlockServer> server =
        std::make_unique<LocalBlockServer>(std::make_shared<SettableClock>(), defaults);
};

TEST_F(BrowserTest, BlockedSiteShowsThePageAndIsCounted) {
    // Fails when the listed site is not diverted, the answer is not shown, or the visit not
    // counted once (its favicon falls in the cooldown; other requests go direct).
    server->update({}, {"blocked-site.example"}, false);
    const std::string dom = runChromium("http://blocked-site.example/some/page", "--dump-dom");
    EXPECT_NE(dom.find("<title>Blocked by Kestralune</title>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<code>http://blocked-site.example/some/page</code> is blocked"),
              std::string::npos)
        << dom;
    EXPECT_EQ(server->blockedRequestCount(), 1);
}

TEST_F(BrowserTest, StoredThemePaintsTheExpectedBackground) {
    // Fails when the appearance and the browser's colour scheme do not combine as designed.
    const struct {
        std::string theme;  // empty: nothing stored
        bool browserPrefersDark;
        int background;  // grey level
    } rows[] = {{"light", true, 255}, {"dark", false, 0}, {"", false, 255}, {"system", true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.theme + (row.browserPrefersDark ? ", browser prefers dark" : ""));
        if (row.theme.empty()) {
            defaults->removeObject("kestralune.appearance");
        } else {
            defaults->setObject("kestralune.appearance", row.theme);
        }
        const std::string shot = workDirectory + "/shot.png";
        std::filesystem::remove(shot);
        runChromium("http://themed.example/",
                    "--window-size=320,240 --screenshot=" + shot +
                        (row.browserPrefersDark ? " --force-dark-mode" : ""));
        EXPECT_EQ(cornerColour(shot), std::vector<int>(3, row.background));
    }
}

}  // namespace
}  // namespace kestralune
