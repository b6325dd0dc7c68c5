#include "platform/user_defaults.h"
#include "platform/log.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using Dictionary = PlistValue::Dictionary;

// Each test gets its own configuration home, so stores never leak between tests.
class UserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
        previousSink = setLogSink([this](std::string_view line) { logged.emplace_back(line); });
    }
    void TearDown() override {
        setLogSink(previousSink);
        ::unsetenv("XDG_CONFIG_HOME");
    }

    fs::path folder() const { return home.path() / "Kestralune" / "Preferences"; }
    fs::path fileOf(const std::string& domain) const { return folder() / (domain + ".plist"); }
    Dictionary stored(const std::string& domain) const {
        const auto parsed = parsePropertyList(TempDirectory::read(fileOf(domain)));
        return parsed && parsed->is<Dictionary>() ? *parsed->get<Dictionary>() : Dictionary{};
    }
    std::vector<fs::path> folderEntries() const {
        return {fs::directory_iterator(folder()), fs::directory_iterator()};
    }

    TempDirectory home;
    LogSink previousSink;
    std::vector<std::string> logged;  // written only by the thread that writes the store
};

// Every type comes back from disk unchanged, in a file only the user may read, and every
// opening of the domain sees the same values.
TEST_F(UserDefaultsTest, GroupOfEveryTypeIsWrittenThroughToAPrivateFile) {
    const Dictionary group{{"string", "kestralune \xE2\x80\x93 \xE2\x9C\x93\t\n"},
                           {"bool", false},
                           {"integer", std::int64_t{-42}},
                           {"real", 2.5},
                           {"data", PlistValue::Data{0, 1, 254, 255}},
                           {"array", PlistValue::Array{"a", 1, true}},
                           {"dictionary", Dictionary{{"enabled", true}, {"url", "http://x/"}}}};
    ASSERT_TRUE(userDefaultsSuite("group.com.orrindale.app")->setObjects(group));
    EXPECT_EQ(stored("group.com.orrindale.app"), group);
    EXPECT_EQ(fs::status(fileOf("group.com.orrindale.app")).permissions(), fs::perms(0600));
    EXPECT_EQ(folderEntries(), std::vector{fileOf("group.com.orrindale.app")});

    const auto again = userDefaultsSuite("group.com.orrindale.app");
    EXPECT_EQ(again->stringForKey("string"), *group.at("string").get<std::string>());
    EXPECT_EQ(again->boolForKey("bool"), false);
    EXPECT_FALSE(again->stringForKey("bool"));
    EXPECT_TRUE(again->removeObject("string") && again->removeObject("never there"));
    EXPECT_FALSE(stored("group.com.orrindale.app").contains("string"));
}

// What an earlier run wrote is loaded; a file that cannot be read is kept aside rather than
// overwritten; names that are paths are refused; a bare program is named after itself.
TEST_F(UserDefaultsTest, DomainsOpenFromTheirFiles) {
    home.write("Kestralune/Preferences/earlier.plist",
               *xmlPropertyList(PlistValue(Dictionary{{"kestralune.pendingInviteLink", "k"}})));
    EXPECT_EQ(userDefaultsSuite("earlier")->stringForKey("kestralune.pendingInviteLink"), "k");

    home.write("Kestralune/Preferences/broken.plist", "<plist><dict><key>a</key>");
    EXPECT_TRUE(userDefaultsSuite("broken")->setObject("b", true));
    EXPECT_TRUE(fs::exists(fileOf("broken").string() + ".unreadable"));

    for (const char* name : {"", "..", "../escape"}) {
        EXPECT_FALSE(userDefaultsSuite(name)) << name;
    }
    EXPECT_TRUE(standardUserDefaults()->setObject("k", 1));
    EXPECT_TRUE(fs::exists(fileOf("platform_tests")));
}

// A string an XML file cannot carry, anywhere in the group, is refused whole: the file
// stays well-formed and keeps the old value.
TEST_F(UserDefaultsTest, UnrepresentableStringsAreRefusedWithoutAWrite) {
    const auto store = userDefaultsSuite("text");
    ASSERT_TRUE(store->setObject("link", "old"));
    const std::string before = TempDirectory::read(fileOf("text"));
    for (const std::string& bad :
         std::vector<std::string>{"\xFF", "a\x01", std::string("nul\0", 4), "\xEF\xBF\xBE",
                                  "\xED\xA0\x80", "\xC0\xAF", "\xE2\x82"}) {
        for (const PlistValue& value : {PlistValue(bad), PlistValue(PlistValue::Array{bad}),
                                        PlistValue(Dictionary{{"ok", Dictionary{{bad, 1}}}})}) {
            EXPECT_FALSE(store->setObjects({{"link", "new"}, {"other", value}})) << bad;
        }
        EXPECT_FALSE(store->setObject(bad, "key")) << bad;
    }
    EXPECT_EQ(logged.size(), 7u * 4u) << "one line per refusal";
    EXPECT_EQ(TempDirectory::read(fileOf("text")), before);
    EXPECT_EQ(store->stringForKey("link"), "old");
}

// A write that fails (here: the file size limit) leaves the old file and the old values; a
// later write must not carry the failed group to disk.
TEST_F(UserDefaultsTest, FailedWriteChangesNothingNowOrLater) {
    const auto store = userDefaultsSuite("full");
    ASSERT_TRUE(store->setObject("kestralune.appearance", "dark"));
    const std::string before = TempDirectory::read(fileOf("full"));
    rlimit original{};
    ::getrlimit(RLIMIT_FSIZE, &original);
    rlimit small = original;
    small.rlim_cur = before.size() + 100;
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = store->setObjects(
        {{"kestralune.appearance", "light"}, {"padding", std::string(4096, 'x')}});
    ::setrlimit(RLIMIT_FSIZE, &original);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(TempDirectory::read(fileOf("full")), before);
    EXPECT_EQ(folderEntries(), std::vector{fileOf("full")}) << "temporary file left";
    EXPECT_EQ(store->stringForKey("kestralune.appearance"), "dark");
    ASSERT_TRUE(store->setObject("later", 1));
    EXPECT_EQ(stored("full"), (Dictionary{{"kestralune.appearance", "dark"}, {"later", 1}}));
}

// A writer that died leaves its temporary file; the next opening removes it, but never the
// file of a writer still at work (it holds the file's lock).
TEST_F(UserDefaultsTest, OpeningRemovesOnlyTemporaryFilesOfDeadWriters) {
    const auto dead = home.write("Kestralune/Preferences/d.plist.tmp.4001", "<plist");
    const auto alive = home.write("Kestralune/Preferences/d.plist.tmp.4002", "<plist");
    const auto unrelated = home.write("Kestralune/Preferences/d.plist.tmp.notes", "");
    const int held = ::open(alive.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    userDefaultsSuite("d");
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(unrelated));
    ::close(held);
}

// The block server reads the appearance while the main thread writes. Here the writer is
// stuck inside its disk write (its temporary file is a full pipe); the read must complete.
TEST_F(UserDefaultsTest, ReaderDoesNotWaitForAWriterStuckOnTheDisk) {
    const auto store = userDefaultsSuite("slow");
    ASSERT_TRUE(store->setObject("kestralune.appearance", "dark"));
    const std::string temporary = fileOf("slow").string() + ".tmp." + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
    const int pipe = ::open(temporary.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int capacity = ::fcntl(pipe, F_GETPIPE_SZ);
    auto writer = std::async(std::launch::async, [&] {
        return store->setObject("big", std::string(2 * capacity, 'x'));
    });
    int queued = 0;
    for (int wait = 0; wait < 1000 && queued < capacity; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::ioctl(pipe, FIONREAD, &queued);
    }
    EXPECT_EQ(queued, capacity) << "the writer never filled the pipe";
    auto reader = std::async(std::launch::async,
                             [&] { return store->stringForKey("kestralune.appearance"); });
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);

    char buffer[4096];
    while (writer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        while (::read(pipe, buffer, sizeof buffer) > 0) {
        }
    }
    ::close(pipe);
    EXPECT_EQ(reader.get(), "dark");
    EXPECT_FALSE(writer.get()) << "a pipe cannot be synced";
}

// A child writes numbered groups of three keys until it is killed at a random moment; the
// file it leaves must hold one group whole, never keys of two.
TEST_F(UserDefaultsTest, KilledWriterLeavesOneWholeGroup) {
    std::mt19937 random(std::random_device{}());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int checked = 0;
    for (int round = 0; round < 200 && std::chrono::steady_clock::now() < deadline; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const auto store = userDefaultsSuite("killed");
            if (::write(ready[1], "r", 1) != 1) {
                ::_exit(1);
            }
            for (std::int64_t n = round * 1'000'000;; ++n) {
                store->setObjects(
                    {{"allWebsitesBlocked", n}, {"blockedDomains", n}, {"exceptionDomains", n}});
            }
        }
        char signal = 0;
        const bool started = ::read(ready[0], &signal, 1) == 1;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_TRUE(started);
        const auto values = stored("killed");
        if (values.empty()) {
            continue;
        }
        ++checked;
        ASSERT_EQ(values.size(), 3u);
        EXPECT_EQ(values.at("allWebsitesBlocked"), values.at("blockedDomains")) << round;
        ASSERT_EQ(values.at("allWebsitesBlocked"), values.at("exceptionDomains")) << round;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace kestralune
