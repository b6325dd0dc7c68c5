#include "host/deep_link_router.h"

#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

namespace kestralune::host_test {
namespace {

struct LinkRow {
    std::string url;
    // The call the UI receives; nothing for a URL of neither kind.
    std::optional<std::string> sent;
};

class DeepLinkRouterTest : public FakeEngineHostTest {
  protected:
    KestraluneDeepLinkRouter& router() { return *harness->host->deepLinkRouter; }
};

// Plain, case-sensitive substring tests in order: a looser or reordered test sends the
// wrong call.
TEST_F(DeepLinkRouterTest, LinksAreClassifiedBySubstringWithAuthenticationFirst) {
    const std::vector<LinkRow> rows{
        {"kestralune://auth-callback?code=abc&state=1", "authLinkReceived"},
        {"https://kestralune.example/invite/XY12", "inviteLinkReceived"},
        {"kestralune://invite?code=XY12", "inviteLinkReceived"},
        {"kestralune://auth-callback/invite/XY12", "authLinkReceived"},
        {"ftp://files.example/path/invite/x", "inviteLinkReceived"},
        {"kestralune://settings", std::nullopt},
        {"KESTRALUNE://AUTH-CALLBACK", std::nullopt},
        {"https://example.com/invites/x", std::nullopt},
        {"https://example.com/invite", std::nullopt},
    };
    for (const auto& row : rows) {
        harness->messenger.clearSent();
        EXPECT_EQ(router().handle(row.url), row.sent.has_value()) << row.url;
        const auto sent = harness->sentToUI();
        if (row.sent) {
            ASSERT_EQ(sent.size(), 1u) << row.url;
            EXPECT_EQ(sent[0], (MethodCall{*row.sent, row.url}));
        } else {
            EXPECT_TRUE(sent.empty()) << row.url;
        }
    }
}

// The UI hears first; the window comes forward on the next turn of the main queue.
TEST_F(DeepLinkRouterTest, UIIsToldBeforeTheWindowComesForward) {
    harness->window().miniaturize();
    router().handle("kestralune://auth-callback?code=1");
    EXPECT_EQ(harness->sentToUI().size(), 1u);
    EXPECT_TRUE(harness->application().forwardRequests().empty());
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->application().forwardRequests(),
              std::vector<ForwardVariant>{ForwardVariant::deepLink});
    EXPECT_FALSE(harness->window().isMiniaturized());
    EXPECT_TRUE(harness->window().isKeyWindow());
    EXPECT_EQ(harness->window().orderFrontRegardlessCount(), 0);
}

TEST_F(DeepLinkRouterTest, LinkOfNeitherKindChangesNothing) {
    EXPECT_FALSE(router().handle("kestralune://settings/invite"));
    harness->loop.runUntilIdle();
    EXPECT_TRUE(harness->application().forwardRequests().empty());
    EXPECT_FALSE(harness->defaults->objectForKey(KestraluneDeepLinkRouter::kPendingInviteLinkKey));
    EXPECT_FALSE(router().pendingAuthLink());
    EXPECT_FALSE(router().initialInviteLink());
}

// Only the newest invitation is kept, in memory and on disk; reading does not consume it.
TEST_F(DeepLinkRouterTest, SecondInvitationReplacesTheFirst) {
    router().handle("kestralune://invite?code=first");
    router().handle("https://kestralune.example/invite/second");
    EXPECT_EQ(router().initialInviteLink(), "https://kestralune.example/invite/second");
    EXPECT_EQ(router().initialInviteLink(), "https://kestralune.example/invite/second");
    EXPECT_EQ(harness->defaults->stringForKey(KestraluneDeepLinkRouter::kPendingInviteLinkKey),
              "https://kestralune.example/invite/second");
}

// A restart keeps the invitation (stored) but not the sign-in link (never stored).
TEST_F(DeepLinkRouterTest, InvitationSurvivesARestartButTheAuthLinkDoesNot) {
    router().handle("kestralune://invite?code=keep");
    router().handle("kestralune://auth-callback?code=secret");
    EXPECT_EQ(harness->defaults->values.size(), 1u) << "only the invitation is stored";

    auto fake = std::make_shared<FakeEngine>();
    HostHarness restarted([fake](RunLoop&) { return fake; }, {"Kestralune"},
                          Bundle{"/nowhere", std::nullopt, {}, "/nowhere/k"}, harness->defaults);
    EXPECT_EQ(successValue(restarted.call("getInitialInviteLink")),
              EncodableValue("kestralune://invite?code=keep"));
    EXPECT_TRUE(successValue(restarted.call("getInitialAuthLink")).isNull());
}

// Before the window set-up there is no channel: links are kept and stored, not sent.
TEST(DeepLinkRouterStandaloneTest, LinksBeforeTheChannelAreKeptButNotSent) {
    ManualRunLoop loop;
    auto defaults = std::make_shared<MemoryDefaults>();
    auto application = std::make_shared<Application>();
    KestraluneDeepLinkRouter router(loop, defaults, application);
    EXPECT_TRUE(router.handle("kestralune://invite?code=early"));
    EXPECT_EQ(defaults->stringForKey(KestraluneDeepLinkRouter::kPendingInviteLinkKey),
              "kestralune://invite?code=early");

    InProcessMessenger messenger;
    router.setChannel(std::make_shared<MethodChannel>(messenger, kBlockingChannelName));
    EXPECT_TRUE(messenger.sentCalls().empty());
    router.handle("kestralune://invite?code=late");
    EXPECT_EQ(messenger.sentCalls().size(), 1u);

    // The queued forward step holds the application weakly.
    application.reset();
    loop.runUntilIdle();
}

}  // namespace
}  // namespace kestralune::host_test
