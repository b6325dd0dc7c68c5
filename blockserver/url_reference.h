#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// A URL or relative reference read the way the platform's URL components read one: strict
// RFC 3986 syntax, so text with a space, a raw non-ASCII character or a broken percent
// sequence does not parse at all. Pure; used by the router and the blocked page.
struct UrlReference {
    // Percent-decoded. Absent when the reference has no authority (a CONNECT "host:443"
    // is a scheme and a path, not a host). An IPv6 literal comes without its brackets.
    std::optional<std::string> host;
    // Percent-decoded; "/blocked" for "/blocked?url=...".
    std::string path;
    // As written, without "?"; absent when there is no "?".
    std::optional<std::string> query;
};

std::optional<UrlReference> parseUrlReference(std::string_view text);

// The value of the first item named `name` in a query ("&"-separated, name and value split
// at the first "=", both percent-decoded; "+" stays "+"). Nothing when no item has the
// name, when that item has no "=", or when its decoded value is not UTF-8 text.
std::optional<std::string> firstQueryItemValue(std::string_view query, std::string_view name);

}  // namespace kestralune
