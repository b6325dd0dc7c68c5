// The fixed host-name tables. Companion lists name the other domains a site loads from
// (short links, former names, sister services, content-delivery, static and image hosts,
// sign-in hosts); each list starts with its site.
#include "blockserver/domain_rules.h"

#include <iterator>

namespace kestralune {
namespace {

using std::string_view_literals::operator""sv;

// Link sharing.
constexpr std::string_view kReddit[] = {"reddit.com", "redd.it", "redditmedia.com",
                                        "redditstatic.com", "reddituploads.com"};

// Chat assistants, and one assistant's maker.
constexpr std::string_view kChatGpt[] = {"chatgpt.com", "openai.com", "oaistatic.com",
                                         "oaiusercontent.com"};
constexpr std::string_view kOpenAi[] = {"openai.com", "chatgpt.com", "oaistatic.com",
                                        "oaiusercontent.com"};
constexpr std::string_view kClaude[] = {"claude.ai", "claude.com", "anthropic.com",
                                        "claudeusercontent.com"};
constexpr std::string_view kGemini[] = {"gemini.google.com", "gemini.google", "bard.google.com",
                                        "aistudio.google.com"};
constexpr std::string_view kPerplexity[] = {"perplexity.ai", "perplexity.com", "pplx.ai"};
constexpr std::string_view kCharacterAi[] = {"character.ai", "c.ai", "characterai.io"};
constexpr std::string_view kCopilot[] = {"copilot.microsoft.com", "copilot.cloud.microsoft"};

// Video site and its short links.
constexpr std::string_view kYouTube[] = {"youtube.com",     "youtu.be",  "ytimg.com",
                                         "googlevideo.com", "ggpht.com", "youtube-nocookie.com"};
constexpr std::string_view kYouTuBe[] = {"youtu.be",        "youtube.com", "ytimg.com",
                                         "googlevideo.com", "ggpht.com",   "youtube-nocookie.com"};

// Micro-blogging under its current and former name.
constexpr std::string_view kX[] = {"x.com", "twitter.com", "t.co", "twimg.com"};
constexpr std::string_view kTwitter[] = {"twitter.com", "x.com", "t.co", "twimg.com"};

// Photo and social networks.
constexpr std::string_view kInstagram[] = {"instagram.com", "instagr.am", "cdninstagram.com",
                                           "fbcdn.net"};
constexpr std::string_view kFacebook[] = {"facebook.com", "fb.com", "fb.me", "fbcdn.net",
                                          "facebook.net"};
constexpr std::string_view kThreads[] = {"threads.net", "threads.com", "cdninstagram.com",
                                         "fbcdn.net"};
constexpr std::string_view kSnapchat[] = {"snapchat.com", "snap.com", "sc-cdn.net", "snapkit.com",
                                          "bitmoji.com"};
constexpr std::string_view kFlickr[] = {"flickr.com", "staticflickr.com"};

// Messaging web apps.
constexpr std::string_view kWhatsApp[] = {"whatsapp.com", "whatsapp.net", "wa.me"};
constexpr std::string_view kMessenger[] = {"messenger.com", "m.me", "fbcdn.net", "facebook.net"};
constexpr std::string_view kTelegram[] = {"telegram.org", "t.me", "telegram.me", "telesco.pe"};

// Short video, pin board, chat community, blogging, publishing, newsletters, professional
// network, live streaming, video and image hosting, game community.
constexpr std::string_view kTikTok[] = {"tiktok.com", "tiktokcdn.com", "tiktokv.com",
                                        "tiktokcdn-us.com", "ttwstatic.com"};
constexpr std::string_view kPinterest[] = {"pinterest.com", "pin.it", "pinimg.com"};
constexpr std::string_view kDiscord[] = {"discord.com", "discord.gg", "discordapp.com",
                                         "discordapp.net", "discord.media"};
constexpr std::string_view kTumblr[] = {"tumblr.com", "tmblr.co"};
constexpr std::string_view kMedium[] = {"medium.com"};
constexpr std::string_view kSubstack[] = {"substack.com", "substackcdn.com"};
constexpr std::string_view kLinkedIn[] = {"linkedin.com", "licdn.com", "lnkd.in"};
constexpr std::string_view kTwitch[] = {"twitch.tv", "ttvnw.net", "jtvnw.net", "twitchcdn.net",
                                        "twitchsvc.net"};
constexpr std::string_view kVimeo[] = {"vimeo.com", "vimeocdn.com"};
constexpr std::string_view kImgur[] = {"imgur.com", "imgur.io"};
constexpr std::string_view k9Gag[] = {"9gag.com", "9cache.com"};
constexpr std::string_view kSteamCommunity[] = {"steamcommunity.com", "steampowered.com",
                                                "steamstatic.com", "steamusercontent.com",
                                                "steam-chat.com"};

// Korean portals, messengers and community boards.
constexpr std::string_view kNaver[] = {"naver.com", "naver.me", "naver.net", "pstatic.net"};
constexpr std::string_view kDaum[] = {"daum.net", "daumcdn.net", "kakaocdn.net",
                                      "accounts.kakao.com"};
constexpr std::string_view kNate[] = {"nate.com", "nateimg.co.kr"};
constexpr std::string_view kZum[] = {"zum.com", "zumst.com"};
constexpr std::string_view kKakao[] = {"kakao.com", "kakao.co.kr", "kakaocdn.net", "kakaocorp.com"};
constexpr std::string_view kLine[] = {"line.me", "lin.ee", "line-apps.com", "line-scdn.net"};
constexpr std::string_view kDcInside[] = {"dcinside.com", "dcinside.co.kr"};
constexpr std::string_view kArcaLive[] = {"arca.live", "namu.la"};
constexpr std::string_view kTheQoo[] = {"theqoo.net"};
// Anonymous workplace community and fan community.
constexpr std::string_view kTeamBlind[] = {"teamblind.com"};
constexpr std::string_view kWeverse[] = {"weverse.io", "weverseshop.io"};

// Services under a site listed earlier: that entry matches first, so these are never chosen.
constexpr std::string_view kWhatsAppWeb[] = {"web.whatsapp.com", "whatsapp.net"};
constexpr std::string_view kKakaoOpenChat[] = {"open.kakao.com", "kakao.com", "kakaocdn.net",
                                               "kakaocorp.com"};
constexpr std::string_view kKakaoStory[] = {"story.kakao.com", "kakao.com", "kakaocdn.net",
                                            "kakao.co.kr"};
constexpr std::string_view kNaverCafe[] = {"cafe.naver.com", "naver.com", "naver.net",
                                           "pstatic.net"};
constexpr std::string_view kNaverBlog[] = {"blog.naver.com", "naver.com", "blogfiles.naver.net",
                                           "pstatic.net"};
constexpr std::string_view kChzzk[] = {"chzzk.naver.com", "naver.com", "naver.net", "pstatic.net"};
constexpr std::string_view kDaumCafe[] = {"cafe.daum.net", "daum.net", "daumcdn.net",
                                          "kakaocdn.net"};

constexpr CompanionEntry kCompanionTable[] = {
    {"reddit.com"sv, kReddit},
    {"chatgpt.com"sv, kChatGpt},
    {"openai.com"sv, kOpenAi},
    {"claude.ai"sv, kClaude},
    {"gemini.google.com"sv, kGemini},
    {"perplexity.ai"sv, kPerplexity},
    {"character.ai"sv, kCharacterAi},
    {"copilot.microsoft.com"sv, kCopilot},
    {"youtube.com"sv, kYouTube},
    {"youtu.be"sv, kYouTuBe},
    {"x.com"sv, kX},
    {"twitter.com"sv, kTwitter},
    {"instagram.com"sv, kInstagram},
    {"facebook.com"sv, kFacebook},
    {"threads.net"sv, kThreads},
    {"snapchat.com"sv, kSnapchat},
    {"flickr.com"sv, kFlickr},
    {"whatsapp.com"sv, kWhatsApp},
    {"web.whatsapp.com"sv, kWhatsAppWeb},
    {"messenger.com"sv, kMessenger},
    {"telegram.org"sv, kTelegram},
    {"tiktok.com"sv, kTikTok},
    {"pinterest.com"sv, kPinterest},
    {"discord.com"sv, kDiscord},
    {"tumblr.com"sv, kTumblr},
    {"medium.com"sv, kMedium},
    {"substack.com"sv, kSubstack},
    {"linkedin.com"sv, kLinkedIn},
    {"twitch.tv"sv, kTwitch},
    {"vimeo.com"sv, kVimeo},
    {"imgur.com"sv, kImgur},
    {"9gag.com"sv, k9Gag},
    {"steamcommunity.com"sv, kSteamCommunity},
    {"naver.com"sv, kNaver},
    {"daum.net"sv, kDaum},
    {"nate.com"sv, kNate},
    {"zum.com"sv, kZum},
    {"kakao.com"sv, kKakao},
    {"open.kakao.com"sv, kKakaoOpenChat},
    {"story.kakao.com"sv, kKakaoStory},
    {"cafe.naver.com"sv, kNaverCafe},
    {"blog.naver.com"sv, kNaverBlog},
    {"chzzk.naver.com"sv, kChzzk},
    {"cafe.daum.net"sv, kDaumCafe},
    {"line.me"sv, kLine},
    {"dcinside.com"sv, kDcInside},
    {"arca.live"sv, kArcaLive},
    {"theqoo.net"sv, kTheQoo},
    {"teamblind.com"sv, kTeamBlind},
    {"weverse.io"sv, kWeverse},
};

// The application's own cloud back end (database, sign-in, tokens, installations, push
// registration, push, app attestation), its hosting, functions and maker's site, the two
// sign-in providers' account hosts, and loopback.
constexpr std::string_view kAlwaysAllowed[] = {
    "firestore.googleapis.com",
    "identitytoolkit.googleapis.com",
    "securetoken.googleapis.com",
    "firebaseinstallations.googleapis.com",
    "fcmregistrations.googleapis.com",
    "fcm.googleapis.com",
    "firebaseappcheck.googleapis.com",
    "kestralune.web.app",
    "kestralune.firebaseapp.com",
    "us-central1-kestralune.cloudfunctions.net",
    "orrindale.com",
    "accounts.google.com",
    "appleid.apple.com",
    "127.0.0.1",
    "::1",
    "localhost",
};

// Productivity sites left reachable until the user's first configuration arrives.
constexpr std::string_view kDefaultExceptions[] = {
    "accounts.google.com", "calendar.google.com", "canva.com",         "chatgpt.com",
    "claude.ai",           "docs.google.com",     "drive.google.com",  "figma.com",
    "gemini.google.com",   "github.com",          "mail.google.com",   "notion.so",
    "perplexity.ai",       "slack.com",           "stackoverflow.com",
};

static_assert(std::size(kCompanionTable) == 50);
static_assert(std::size(kDefaultExceptions) == 15);

}  // namespace

std::span<const CompanionEntry> companionDomainTable() {
    return kCompanionTable;
}

std::span<const std::string_view> alwaysAllowedDomains() {
    return kAlwaysAllowed;
}

std::span<const std::string_view> defaultExceptionDomains() {
    return kDefaultExceptions;
}

std::vector<std::string> defaultExceptionDomainList() {
    return {kDefaultExceptions, kDefaultExceptions + std::size(kDefaultExceptions)};
}

}  // namespace kestralune
