#include "blockserver/request_router.h"

#include "blockserver/url_reference.h"
#include "platform/text.h"

namespace kestralune {
namespace {

// Removes each occurrence found in one left-to-right scan; text that the removal joins
// into a new occurrence stays.
void removeOccurrences(std::string& text, std::string_view word) {
    std::size_t found = text.find(word);
    if (found == std::string::npos) {
        return;
    }
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (found != std::string::npos) {
        out.append(text, from, found - from);
        from = found + word.size();
        found = text.find(word, from);
    }
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

void removePrefix(std::string& text, std::string_view prefix) {
    if (text.starts_with(prefix)) {
        text.erase(0, prefix.size());
    }
}

// Host key of a target that is not a URL with a host: a CONNECT authority, a bare host,
// or an origin-form path (which gives the empty key).
std::string hostKeyOfText(std::string_view trimmed) {
    std::string text = lowercased(trimmed);
    if (text.starts_with("http://")) {
        text.erase(0, 7);
    } else if (text.starts_with("https://")) {
        text.erase(0, 8);
    }
    removePrefix(text, "www.");
    text.resize(std::min(text.find('/'), text.size()));
    // A bracketed IPv6 authority ("[2001:db8::1]:443") keeps its address, the key that the
    // same host gets from a URL, instead of being cut at its first colon.
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close != std::string::npos) {
            return text.substr(1, close - 1);
        }
    }
    text.resize(std::min(text.find(':'), text.size()));
    return text;
}

}  // namespace

Route routeFor(std::string_view requestText) {
    if (requestText.starts_with("GET /proxy.pac")) {
        return Route::proxyPac;
    }
    if (requestText.starts_with("GET /config.json")) {
        return Route::configJson;
    }
    if (requestText.starts_with("GET /track-block")) {
        return Route::trackBlock;
    }
    return Route::blocked;
}

std::string requestTarget(std::string_view requestText) {
    std::string line(requestText.substr(0, requestText.find("\r\n")));
    removeOccurrences(line, "GET ");
    removeOccurrences(line, "POST ");
    removeOccurrences(line, "CONNECT ");
    line.resize(std::min(line.find(' '), line.size()));
    return line;
}

std::string trackedBlockTarget(std::string_view requestText) {
    std::string target = requestTarget(requestText);
    const auto reference = parseUrlReference("http://track-block.invalid" + target);
    if (reference && reference->query) {
        if (auto value = firstQueryItemValue(*reference->query, "url")) {
            return std::move(*value);
        }
    }
    return target;
}

std::string normalizedBlockedTarget(std::string_view target) {
    const std::string trimmed = trimmedWhitespaceAndNewlines(target);
    // Empty, or a path (origin form) that names no host; "//host/..." does.
    if (trimmed.empty() || (trimmed.starts_with('/') && !trimmed.starts_with("//"))) {
        return {};
    }
    std::string key;
    if (const auto reference = parseUrlReference(trimmed); reference && reference->host) {
        key = lowercased(*reference->host);
        removePrefix(key, "www.");
    } else {
        key = hostKeyOfText(trimmed);
    }
    // "example.com." is the fully-qualified form of "example.com": one host, one key.
    if (key.ends_with('.')) {
        key.pop_back();
    }
    return key;
}

std::string httpResponse(std::string_view status, std::string_view contentType,
                         std::string_view body) {
    const std::string length = std::to_string(body.size());
    static constexpr std::string_view kFixedHeaders =
        "\r\nConnection: close\r\nCache-Control: no-store\r\nAccess-Control-Allow-Origin: "
        "*\r\n\r\n";
    std::string response;
    response.reserve(64 + status.size() + contentType.size() + length.size() +
                     kFixedHeaders.size() + body.size());
    response += "HTTP/1.1 ";
    response += status;
    response += "\r\nContent-Type: ";
    response += contentType;
    response += "\r\nContent-Length: ";
    response += length;
    response += kFixedHeaders;
    response += body;
    return response;
}

}  // namespace kestralune
