#include "host/deep_link_router.h"

#include "host/host_program.h"
#include "host/url_text.h"
#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

namespace kestralune::host_test {
namespace {

class DeepLinkRouterTest : public FakeEngineHostTest {
  protected:
    KestraluneDeepLinkRouter& router() { return *harness->host->deepLinkRouter; }
    EncodableValue initial(const char* method) { return successValue(harness->call(method)); }
};

// Fault: a looser, case-insensitive or reordered substring test sends the wrong call, a URL of
// neither kind changes something, or the window comes forward before the UI hears of a link.
TEST_F(DeepLinkRouterTest, LinksAreClassifiedBySubstringWithAuthenticationFirst) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows{
        {"kestralune://auth-callback?code=abc&state=1", "authLinkReceived"},
        {"https://kestralune.example/invite/XY12", "inviteLinkReceived"},
        {"kestralune://invite?code=XY12", "inviteLinkReceived"},
        {"kestralune://auth-callback/invite/XY12", "authLinkReceived"},
        {"ftp://files.example/path/invite/x", "inviteLinkReceived"},
        {"kestralune://settings/invite", std::nullopt},
        {"KESTRALUNE://AUTH-CALLBACK", std::nullopt},
        {"https://example.com/invites/x", std::nullopt},
    };
    harness->window().miniaturize();
    for (const auto& [url, sent] : rows) {
        harness->messenger.clearSent();
        EXPECT_EQ(router().handle(url), sent.has_value()) << url;
        EXPECT_EQ(harness->sentToUI(),
                  sent ? (std::vector<MethodCall>{{*sent, url}}) : std::vector<MethodCall>());
    }
    EXPECT_TRUE(harness->application().forwardRequests().empty());
    EXPECT_EQ(router().pendingAuthLink(), "kestralune://auth-callback/invite/XY12");
    EXPECT_EQ(router().initialInviteLink(), "ftp://files.example/path/invite/x");
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->application().forwardRequests().size(), 5u) << "one per handled link";
    EXPECT_EQ(harness->window().lastForwardVariant(), ForwardVariant::deepLink);
    EXPECT_FALSE(harness->window().isMiniaturized());
}

// Fault: launch and handed-over links arrive out of order, not as URL text, or not at all
// beside another value; a bare string is taken; the sign-in link is stored (only invitations).
TEST_F(DeepLinkRouterTest, LinksArriveInOrderAsURLTextAndOnlyTheInvitationIsStored) {
    harness->host->finishLaunching({"kestralune://invite?code=1", "kestralune://auth-callback"});
    EXPECT_TRUE(
        successValue(harness->control("openURLs", EncodableList{std::int32_t{1},
                                                                "kestralune://invite?n=\xFF x"}))
            .isNull());
    EXPECT_TRUE(successValue(harness->control("openURLs", "kestralune://invite?bare")).isNull());
    EXPECT_EQ(harness->sentToUI(),
              (std::vector<MethodCall>{{"inviteLinkReceived", "kestralune://invite?code=1"},
                                       {"authLinkReceived", "kestralune://auth-callback"},
                                       {"inviteLinkReceived", "kestralune://invite?n=%FF%20x"}}));
    EXPECT_EQ(initial("getInitialInviteLink"), EncodableValue("kestralune://invite?n=%FF%20x"));
    EXPECT_EQ(initial("getInitialAuthLink"), EncodableValue("kestralune://auth-callback"));
    EXPECT_EQ(harness->defaults->values,
              (PlistValue::Dictionary{
                  {"kestralune.pendingInviteLink", "kestralune://invite?n=%FF%20x"}}));
}

// A link becomes the text the system's URL type would give: only what a URL cannot hold is
// escaped, valid escapes are kept, and encoding twice changes nothing.
TEST(UrlTextTest, LinksArePercentEncodedOnlyWhereAURLCannotHoldTheByte) {
    const std::pair<std::string, std::string> rows[] = {
        {"kestralune://invite?a=Zz09-._~&b=/:@!$'()*+,;#[x]",
         "kestralune://invite?a=Zz09-._~&b=/:@!$'()*+,;#[x]"},
        {"%41%e9%g1%%4%", "%41%e9%25g1%25%254%25"},
        {"\"<>\\^`{|}\x7F\t\r\n", "%22%3C%3E%5C%5E%60%7B%7C%7D%7F%09%0D%0A"},
        {std::string("a\0b", 3), "a%00b"},
    };
    for (const auto& [link, text] : rows) {
        EXPECT_EQ(absoluteUrlText(link), text);
        EXPECT_EQ(absoluteUrlText(text), text);
    }
    EXPECT_EQ(urlArguments({"kestralune://x", "--kestralune-scheduled-launch",
                            "kestralune://invite?a b", "plain", "mailto:someone"}),
              std::vector<std::string>{"kestralune://invite?a%20b"})
        << "the program name is never a URL";
}

}  // namespace
}  // namespace kestralune::host_test
