#pragma once

#include <string>
#include <string_view>

namespace kestralune {

// Pure request handling: routing by prefix, the targets used for counting and naming,
// and the response text. No I/O here.

enum class Route { proxyPac, configJson, trackBlock, blocked };

// Chooses the route by the exact, case-sensitive beginning of the request text.
Route routeFor(std::string_view requestText);

// First request line, with every "GET ", "POST " and "CONNECT " removed, up to its first space.
std::string requestTarget(std::string_view requestText);
// The percent-decoded "url" item of a /track-block request, else its requestTarget.
std::string trackedBlockTarget(std::string_view requestText);
// The host key a target is counted under; empty means "not counted". A fully-qualified
// host with a trailing dot counts under the same key as the host without it, and a
// bracketed IPv6 authority ("[2001:db8::1]:443") under its address, as its URL would.
std::string normalizedBlockedTarget(std::string_view target);

// Status line and the five headers in their fixed order, then the body.
std::string httpResponse(std::string_view status, std::string_view contentType,
                         std::string_view body);

}  // namespace kestralune
