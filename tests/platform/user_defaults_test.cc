#include "platform/user_defaults.h"
#include "platform/testing/fixture_applications.h"
#include "platform/testing/log_capture.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <future>
#include <random>
#include <thread>

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using Dictionary = PlistValue::Dictionary;
using namespace std::literals;

// Each test gets its own configuration home (stores never leak between tests) and keeps
// the log lines its stores write.
class UserDefaultsTest : public ::testing::Test {
  protected:
    UserDefaultsTest() { ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1); }
    ~UserDefaultsTest() override { ::unsetenv("XDG_CONFIG_HOME"); }

    fs::path fileOf(const std::string& domain) const {
        return home.path() / "Kestralune/Preferences" / (domain + ".plist");
    }
    Dictionary stored(const std::string& domain) const {
        const auto parsed = parsePropertyList(TempDirectory::read(fileOf(domain)));
        return parsed && parsed->is<Dictionary>() ? *parsed->get<Dictionary>() : Dictionary{};
    }

    TempDirectory home;
    LogCapture log;
};

// Every type comes back from disk unchanged, in a file only the user may read, and every
// opening of the domain is the same store.
TEST_F(UserDefaultsTest, GroupOfEveryTypeIsWrittenThroughToAPrivateFile) {
    const Dictionary group{
        {"string", "\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\xA6\x81 \xF4\x8F\xBF\xBF\t\n"},
        {"bool", false},
        {"integer", std::int64_t{-42}},
        {"real", 2.5},
        {"data", PlistValue::Data{0, 1, 254, 255}},
        {"array", PlistValue::Array{"a", 1, true}},
        {"dictionary", Dictionary{{"enabled", true}, {"url", "http://x/"}}}};
    ASSERT_TRUE(userDefaultsSuite("group.com.orrindale.app")->setObjects(group));
    EXPECT_EQ(stored("group.com.orrindale.app"), group);
    EXPECT_EQ(fs::status(fileOf("group.com.orrindale.app")).permissions(), fs::perms(0600));
    const auto again = userDefaultsSuite("group.com.orrindale.app");
    EXPECT_TRUE(again->removeObject("string") && again->removeObject("never there"));
    EXPECT_EQ(stored("group.com.orrindale.app").size(), group.size() - 1);

    for (const char* name : {"", "..", "../escape"}) {
        EXPECT_FALSE(userDefaultsSuite(name)) << name;
    }
    EXPECT_TRUE(standardUserDefaults()->setObject("k", 1));
    EXPECT_TRUE(fs::exists(fileOf("platform_tests"))) << "a bare program's domain is its name";
}

// Opening loads what an earlier run wrote and removes the temporary files of writers that
// died, never the file of a writer still at work (it holds the file's lock). A file that
// cannot be read is kept aside rather than overwritten.
TEST_F(UserDefaultsTest, OpeningLoadsTheFileAndRemovesOnlyDeadWritersLeftovers) {
    const std::string folder = "Kestralune/Preferences/";
    home.write(folder + "d.plist", *xmlPropertyList(PlistValue(Dictionary{{"link", "k"}})));
    const auto dead = home.write(folder + "d.plist.tmp.4001", "<plist");
    const auto alive = home.write(folder + "d.plist.tmp.4002", "<plist");
    const auto unrelated = home.write(folder + "d.plist.tmp.notes", "");
    const int held = ::open(alive.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    EXPECT_EQ(userDefaultsSuite("d")->stringForKey("link"), "k");
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(alive) && fs::exists(unrelated));
    ::close(held);

    home.write(folder + "broken.plist", "<plist><dict><key>a</key>");
    EXPECT_TRUE(userDefaultsSuite("broken")->setObject("b", true));
    EXPECT_TRUE(fs::exists(fileOf("broken").string() + ".unreadable"));
}

// A write that fails changes nothing (so a write in place or one key at a time shows): the
// old file, no temporary file, the old values, one log line each; a later write must not carry
// a failed group to disk. Failures: text XML cannot carry, anywhere, and the file size limit.
TEST_F(UserDefaultsTest, FailedOrRefusedWriteChangesNothingNowOrLater) {
    const auto store = userDefaultsSuite("d");
    ASSERT_TRUE(store->setObject("link", "old"));
    const std::string before = TempDirectory::read(fileOf("d"));
    for (const std::string& bad : {"\xFF"s, "a\x01"s, "\xEF\xBF\xBE"s, "a\0b"s}) {
        for (const PlistValue& value : {PlistValue(bad), PlistValue(PlistValue::Array{bad}),
                                        PlistValue(Dictionary{{"ok", Dictionary{{bad, 1}}}})}) {
            EXPECT_FALSE(store->setObjects({{"link", "new"}, {"other", value}})) << bad;
        }
        EXPECT_FALSE(store->setObject(bad, "key")) << bad;
    }
    rlimit original{};
    ::getrlimit(RLIMIT_FSIZE, &original);
    const rlimit small{before.size() + 100, original.rlim_max};
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = store->setObjects({{"link", "new"}, {"padding", std::string(4096, 'x')}});
    ::setrlimit(RLIMIT_FSIZE, &original);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(log.lines.size(), 4u * 4u + 1u);
    EXPECT_EQ(TempDirectory::read(fileOf("d")), before);
    EXPECT_FALSE(fs::exists(fileOf("d").string() + ".tmp." + std::to_string(::getpid())));
    EXPECT_EQ(store->stringForKey("link"), "old");
    ASSERT_TRUE(store->setObject("later", 1));
    EXPECT_EQ(stored("d"), (Dictionary{{"link", "old"}, {"later", 1}}));
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
    EXPECT_TRUE(eventually([&] {
        int queued = 0;
        return ::ioctl(pipe, FIONREAD, &queued) == 0 && queued == capacity;
    })) << "the writer never filled the pipe";
    auto reader = std::async(std::launch::async,
                             [&] { return store->stringForKey("kestralune.appearance"); });
    EXPECT_EQ(reader.wait_for(10s), std::future_status::ready);
    for (char buffer[4096]; writer.wait_for(1ms) != std::future_status::ready;) {
        while (::read(pipe, buffer, sizeof buffer) > 0) {
        }
    }
    ::close(pipe);
    EXPECT_EQ(reader.get(), "dark");
    EXPECT_FALSE(writer.get()) << "a pipe cannot be synced";
}

// Fault: a group written key by key; a writer killed between two keys leaves a mix of two
// configurations. A child writes numbered groups until it is killed at a random moment.
TEST_F(UserDefaultsTest, KilledWriterLeavesOneWholeGroup) {
    std::mt19937 random(std::random_device{}());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int round = 0; round < 200 && std::chrono::steady_clock::now() < deadline; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            for (std::int64_t n = round * 1'000'000; ::write(ready[1], "r", 1) == 1; ++n) {
                userDefaultsSuite("killed")->setObjects({{"a", n}, {"b", n}, {"c", n}});
            }
            ::_exit(1);
        }
        char started = 0;
        EXPECT_EQ(::read(ready[0], &started, 1), 1);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        const auto values = stored("killed");
        ASSERT_TRUE(values.empty() || (values.size() == 3 && values.at("a") == values.at("b") &&
                                       values.at("b") == values.at("c")))
            << round;
    }
}

}  // namespace
}  // namespace kestralune
