// The request-text functions the server runs on whatever a client sends: routing, the
// targets, the host key, the page and the response framing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "blockserver/blocked_page.h"
#include "blockserver/request_router.h"
#include "platform/text.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const bool text = kestralune::isValidUtf8(request);

    const std::string target = kestralune::requestTarget(request);
    // No space survives; a line break can, when removing a word joins "\r" and "\n".
    require(target.find(' ') == std::string::npos);

    // Keys are lower-case whatever the target's letters or escapes were.
    for (const std::string& key :
         {kestralune::normalizedBlockedTarget(target),
          kestralune::normalizedBlockedTarget(kestralune::trackedBlockTarget(request))}) {
        require(std::none_of(key.begin(), key.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    }

    const std::string page = kestralune::blockedPage(request, "system");
    const std::string_view shownStart = "    <p><code>";
    const std::string_view shownEnd = "</code> is blocked by Kestralune.</p>";
    const std::size_t start = page.find(shownStart);
    const std::size_t end = page.rfind(shownEnd);
    require(start != std::string::npos && end != std::string::npos && start < end);
    const std::string_view shown =
        std::string_view(page).substr(start + shownStart.size(), end - start - shownStart.size());
    require(shown.find_first_of("<>\"'") == std::string_view::npos);
    if (text) {
        require(kestralune::isValidUtf8(page));
    }

    const std::string response =
        kestralune::httpResponse("403 Forbidden", "text/html; charset=utf-8", page);
    const std::string length = "\r\nContent-Length: " + std::to_string(page.size()) + "\r\n";
    require(response.find(length) != std::string::npos);
    require(response.ends_with(page));
    return 0;
}
