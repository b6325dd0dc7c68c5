#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

// Each test gets its own configuration home, so stores never leak between tests.
class UserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home = fs::temp_directory_path() /
               ("kestralune-defaults-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home);
        ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(home);
    }

    fs::path fileOf(const std::string& domain) const {
        return home / "Kestralune" / "Preferences" / (domain + ".plist");
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    fs::path home;
};

// Every value type the system stores must come back from disk unchanged.
TEST_F(UserDefaultsTest, EveryTypeIsWrittenThroughAsAnXmlPropertyList) {
    auto suite = userDefaultsSuite("group.com.orrindale.app");
    ASSERT_TRUE(suite);
    const PlistValue::Dictionary nested{{"enabled", true}, {"url", "http://x/"}};
    suite->setObject("string", "kestralune – ✓");
    suite->setObject("bool", false);
    suite->setObject("integer", std::int64_t{-42});
    suite->setObject("real", 2.5);
    suite->setObject("data", PlistValue::Data{0, 1, 254, 255});
    suite->setObject("array", PlistValue::Array{"a", 1, true});
    suite->setObject("dictionary", nested);

    const std::string text = read(fileOf("group.com.orrindale.app"));
    EXPECT_NE(text.find("<!DOCTYPE plist"), std::string::npos);
    auto parsed = parsePropertyList(text);
    ASSERT_TRUE(parsed && parsed->is<PlistValue::Dictionary>());
    const auto& stored = *parsed->get<PlistValue::Dictionary>();
    EXPECT_EQ(stored.at("string"), PlistValue("kestralune – ✓"));
    EXPECT_EQ(stored.at("bool"), PlistValue(false));
    EXPECT_EQ(stored.at("integer"), PlistValue(std::int64_t{-42}));
    EXPECT_EQ(stored.at("real"), PlistValue(2.5));
    EXPECT_EQ(stored.at("data"), PlistValue(PlistValue::Data{0, 1, 254, 255}));
    EXPECT_EQ(stored.at("array"), PlistValue(PlistValue::Array{"a", 1, true}));
    EXPECT_EQ(stored.at("dictionary"), PlistValue(nested));
}

// The file holds user rules and a proxy backup: only the user may read it, and a write
// must never leave a temporary file behind.
TEST_F(UserDefaultsTest, FileIsPrivateAndWrittenAtomically) {
    auto suite = userDefaultsSuite("private.domain");
    suite->setObject("k", "v");
    struct stat info {};
    ASSERT_EQ(::stat(fileOf("private.domain").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const auto& entry : fs::directory_iterator(fileOf("private.domain").parent_path())) {
        EXPECT_EQ(entry.path().extension(), ".plist") << entry.path();
    }
}

TEST_F(UserDefaultsTest, TypedReadsIgnoreOtherTypesAndRemovedKeys) {
    auto suite = userDefaultsSuite("typed.domain");
    suite->setObject("text", "light");
    suite->setObject("flag", true);
    EXPECT_EQ(suite->stringForKey("text"), "light");
    EXPECT_EQ(suite->boolForKey("flag"), true);
    EXPECT_FALSE(suite->stringForKey("flag"));
    EXPECT_FALSE(suite->dataForKey("text"));
    suite->removeObject("text");
    EXPECT_FALSE(suite->objectForKey("text"));
    EXPECT_TRUE(suite->synchronize());
}

// Two openings of one domain are one store: the server's read sees the host's write.
TEST_F(UserDefaultsTest, OpeningADomainTwiceSharesItsValues) {
    auto first = userDefaultsSuite("shared.domain");
    auto second = userDefaultsSuite("shared.domain");
    first->setObject("kestralune.appearance", "dark");
    EXPECT_EQ(second->stringForKey("kestralune.appearance"), "dark");
}

// A value written by an earlier run is there when the domain is opened again.
TEST_F(UserDefaultsTest, ExistingFileIsLoadedOnOpen) {
    fs::create_directories(fileOf("x").parent_path());
    std::ofstream(fileOf("earlier.run")) << xmlPropertyList(PlistValue(
        PlistValue::Dictionary{{"kestralune.pendingInviteLink", "kestralune://invite/abc"}}));
    auto suite = userDefaultsSuite("earlier.run");
    EXPECT_EQ(suite->stringForKey("kestralune.pendingInviteLink"), "kestralune://invite/abc");
}

// An unreadable file must not be silently replaced by the next write: it is kept aside.
TEST_F(UserDefaultsTest, UnreadableFileIsKeptAside) {
    fs::create_directories(fileOf("x").parent_path());
    std::ofstream(fileOf("broken")) << "<plist><dict><key>a</key>";
    auto suite = userDefaultsSuite("broken");
    EXPECT_FALSE(suite->objectForKey("a"));
    suite->setObject("b", true);
    EXPECT_TRUE(fs::exists(fileOf("broken").string() + ".unreadable"));
}

TEST_F(UserDefaultsTest, SuiteNamesThatAreNotDomainsAreRefused) {
    EXPECT_FALSE(userDefaultsSuite(""));
    EXPECT_FALSE(userDefaultsSuite("../escape"));
    EXPECT_FALSE(userDefaultsSuite(".."));
    EXPECT_TRUE(userDefaultsSuite("group.com.orrindale.app"));
}

// A test binary has no bundle, so the standard domain is named after the executable.
TEST_F(UserDefaultsTest, StandardDomainFallsBackToTheExecutableName) {
    standardUserDefaults()->setObject("k", 1);
    EXPECT_TRUE(fs::exists(fileOf("platform_tests")));
}

}  // namespace
}  // namespace kestralune
