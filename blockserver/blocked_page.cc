#include "blockserver/blocked_page.h"

#include "blockserver/request_router.h"
#include "blockserver/url_reference.h"

namespace kestralune {

std::string escapeForHTML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string blockedPageTarget(std::string_view requestText) {
    std::string target = requestTarget(requestText);
    const auto reference = parseUrlReference(target);
    if (reference && reference->path == "/blocked" && reference->query) {
        if (auto value = firstQueryItemValue(*reference->query, "url")) {
            return std::move(*value);
        }
    }
    return target;
}

std::string blockedPage(std::string_view requestText, std::string_view theme) {
    static constexpr std::string_view kThemeStart = "<!doctype html>\n<html data-theme=\"";
    static constexpr std::string_view kThemeEnd = R"page(">
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <title>Blocked by Kestralune</title>
  <style>
    html, body { height: 100%; margin: 0; background: #000; color: #fff; font-family: -apple-system, BlinkMacSystemFont, "SF Pro Display", sans-serif; }
    :root { --bg: #000; --fg: #fff; --muted: #bdbdbd; color-scheme: dark; }
    :root[data-theme="light"] { --bg: #fff; --fg: #111; --muted: #555; color-scheme: light; }
    @media (prefers-color-scheme: light) { :root[data-theme="system"] { --bg: #fff; --fg: #111; --muted: #555; color-scheme: light; } }
    html, body { background: var(--bg); color: var(--fg); }
    body { display: grid; place-items: center; }
    main { width: min(560px, calc(100vw - 48px)); text-align: center; }
    .emoji { font-size: 72px; line-height: 1; margin-bottom: 28px; }
    h1 { font-size: clamp(36px, 7vw, 72px); font-weight: 500; margin: 0 0 18px; letter-spacing: 0; }
    p { color: var(--muted); font-size: 18px; line-height: 1.45; margin: 0 auto 28px; }
    code { color: var(--fg); font-family: inherit; font-weight: 500; }
    button { appearance: none; border: 0; border-radius: 8px; padding: 12px 18px; background: var(--fg); color: var(--bg); font-size: 15px; font-weight: 500; }
  </style>
</head>
<body>
  <main>
    <div class="emoji">🦁</div>
    <h1>Roar Past</h1>
    <p><code>)page";
    static constexpr std::string_view kTail = R"page(</code> is blocked by Kestralune.</p>
    <button onclick="history.back()">Back to focus</button>
  </main>
</body>
</html>)page";
    const std::string escapedTheme = escapeForHTML(theme);
    const std::string shown = escapeForHTML(blockedPageTarget(requestText));
    std::string page;
    page.reserve(kThemeStart.size() + escapedTheme.size() + kThemeEnd.size() + shown.size() +
                 kTail.size());
    page += kThemeStart;
    page += escapedTheme;
    page += kThemeEnd;
    page += shown;
    page += kTail;
    return page;
}

}  // namespace kestralune
