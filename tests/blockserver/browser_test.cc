// A real browser: headless Chromium fetches the proxy script from the server, is diverted by
// it to the server for a blocked site, and shows the blocked page in the stored theme.
//
// The script names the proxy as 127.0.0.1:18081, so the server must own that port. The test
// moves itself into a private network namespace first (its own loopback, where 18081 is
// always free); where that is not permitted it uses the machine's port 18081, which CTest
// keeps to one test at a time.

#include "blockserver/local_block_server.h"
#include "platform/testing/settable_clock.h"
#include "tests/blockserver/socket_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <png.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestralune {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

bool writeProcFile(const char* path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    return static_cast<bool>(file.flush());
}

// Must run while the process has a single thread (a user namespace requires it).
bool enterPrivateLoopback() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return false;
        }
        writeProcFile("/proc/self/setgroups", "deny");
        if (!writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return false;
        }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return up;
}

struct Rgb {
    int red;
    int green;
    int blue;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& colour) {
    return out << "rgb(" << colour.red << ", " << colour.green << ", " << colour.blue << ")";
}

std::optional<Rgb> pixelAt(const std::string& pngPath, std::uint32_t x, std::uint32_t y) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, pngPath.c_str())) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || x >= image.width ||
        y >= image.height) {
        return std::nullopt;
    }
    const std::size_t at = (static_cast<std::size_t>(y) * image.width + x) * 3;
    return Rgb{pixels[at], pixels[at + 1], pixels[at + 2]};
}

class BrowserTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { privateLoopback = enterPrivateLoopback(); }

    void SetUp() override {
        if (!std::filesystem::exists(kChromium)) {
            GTEST_SKIP() << "chromium is not installed";
        }
        char pattern[] = "/tmp/kestralune-browser-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        workDirectory = pattern;
        server->start();
        ASSERT_TRUE(server->isRunning())
            << "port " << kBlockServerPort << " is taken"
            << (privateLoopback ? "" : " (no private network namespace was available)");
    }

    void TearDown() override {
        if (!workDirectory.empty()) {
            std::filesystem::remove_all(workDirectory);
        }
    }

    // Runs Chromium on `url` through the server's proxy script and returns its standard
    // output. A fresh profile each time; bounded by a time-out.
    std::string runChromium(const std::string& url, const std::string& extraFlags) {
        static int run = 0;
        const std::string profile = workDirectory + "/profile-" + std::to_string(++run);
        const std::string command =
            std::string("timeout -k 5 25 ") + kChromium +
            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --disable-features=MediaRouter,OptimizationHints --hide-scrollbars"
            " --user-data-dir=" +
            profile + " --proxy-pac-url=http://127.0.0.1:" + std::to_string(kBlockServerPort) +
            "/proxy.pac " + extraFlags + " '" + url + "' 2>/dev/null";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            std::array<char, 4096> buffer;
            for (std::size_t count; (count = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
                output.append(buffer.data(), count);
            }
            pclose(pipe);
        }
        return output;
    }

    // The page's background colour as Chromium paints it.
    std::optional<Rgb> backgroundOf(const std::string& url, const std::string& extraFlags) {
        const std::string shot = workDirectory + "/shot.png";
        std::filesystem::remove(shot);
        runChromium(url, "--window-size=320,240 --screenshot=" + shot + " " + extraFlags);
        return pixelAt(shot, 4, 4);
    }

    static inline bool privateLoopback = false;
    std::string workDirectory;
    std::shared_ptr<SettableClock> clock = std::make_shared<SettableClock>();
    std::shared_ptr<testing::MemoryDefaults> defaults = std::make_shared<testing::MemoryDefaults>();
    std::unique_ptr<LocalBlockServer> server =
        std::make_unique<LocalBlockServer>(clock, defaults, kBlockServerPort);
};

TEST_F(BrowserTest, BlockedSiteShowsThePageAndIsCounted) {
    // Fails when the script does not divert the listed site, the browser cannot parse the
    // answer, or the proxied visit is not counted (once: the favicon falls in the cooldown).
    // Only the listed site is diverted, so the browser's own background requests go direct.
    server->update({}, {"blocked-site.example"}, false);
    const std::string dom = runChromium("http://blocked-site.example/some/page", "--dump-dom");
    EXPECT_NE(dom.find("<title>Blocked by Kestralune</title>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<code>http://blocked-site.example/some/page</code> is blocked"),
              std::string::npos)
        << dom;
    EXPECT_EQ(server->blockedRequestCount(), 1);
}

struct ThemeRow {
    const char* theme;  // nullptr: nothing stored
    bool browserPrefersDark;
    Rgb background;
};

TEST_F(BrowserTest, StoredThemePaintsTheExpectedBackground) {
    // Fails when the stored appearance does not reach the page, or the page's palettes and
    // the browser's colour scheme do not combine as designed.
    const Rgb white{255, 255, 255};
    const Rgb black{0, 0, 0};
    const std::vector<ThemeRow> rows = {
        {"light", true, white},
        {"dark", false, black},
        {nullptr, false, white},
        {"system", true, black},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(
            std::string(row.theme ? row.theme : "(none)") +
            (row.browserPrefersDark ? ", browser prefers dark" : ", browser prefers light"));
        if (row.theme != nullptr) {
            defaults->setObject("kestralune.appearance", row.theme);
        } else {
            defaults->removeObject("kestralune.appearance");
        }
        EXPECT_EQ(backgroundOf("http://themed.example/",
                               row.browserPrefersDark ? "--force-dark-mode" : ""),
                  std::optional<Rgb>(row.background));
    }
}

}  // namespace
}  // namespace kestralune
