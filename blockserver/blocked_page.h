#pragma once

#include <string>
#include <string_view>

namespace kestralune {

// The five HTML entities: & < > " '  ("&" first, so produced entities are not escaped again).
std::string escapeForHTML(std::string_view text);

// What the page names: the "url" item of a GET /blocked, else the request target itself.
std::string blockedPageTarget(std::string_view requestText);

// The 30-line page. `theme` is the stored appearance ("system" when none is stored); it is
// escaped before it goes into the page, since it is arbitrary text from the UI.
std::string blockedPage(std::string_view requestText, std::string_view theme);

}  // namespace kestralune
