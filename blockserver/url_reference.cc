#include "blockserver/url_reference.h"

#include <uriparser/Uri.h>

#include "platform/text.h"

namespace kestralune {
namespace {

std::string_view rangeText(const UriTextRangeA& range) {
    if (range.first == nullptr || range.afterLast == nullptr) {
        return {};
    }
    return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Only called on text the parser accepted, where every "%" starts a valid escape; a stray
// "%" is kept as it is all the same.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

class ParsedUri {
  public:
    ParsedUri() = default;
    ~ParsedUri() {
        if (parsed) {
            uriFreeUriMembersA(&uri);
        }
    }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    bool parse(std::string_view text) {
        const char* errorPosition = nullptr;
        parsed = uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(),
                                      &errorPosition) == URI_SUCCESS;
        return parsed;
    }
    const UriUriA& value() const { return uri; }

  private:
    UriUriA uri{};
    bool parsed = false;
};

}  // namespace

std::optional<UrlReference> parseUrlReference(std::string_view text) {
    ParsedUri parsed;
    if (!parsed.parse(text)) {
        return std::nullopt;
    }
    const UriUriA& uri = parsed.value();
    UrlReference reference;
    const bool hasAuthority = uri.hostText.first != nullptr;
    if (hasAuthority) {
        reference.host = percentDecoded(rangeText(uri.hostText));
    }
    std::string rawPath;
    if (uri.absolutePath || (hasAuthority && uri.pathHead != nullptr)) {
        rawPath.push_back('/');
    }
    for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr;
         segment = segment->next) {
        if (segment != uri.pathHead) {
            rawPath.push_back('/');
        }
        rawPath += rangeText(segment->text);
    }
    reference.path = percentDecoded(rawPath);
    if (uri.query.first != nullptr) {
        reference.query = std::string(rangeText(uri.query));
    }
    return reference;
}

std::optional<std::string> firstQueryItemValue(std::string_view query, std::string_view name) {
    while (true) {
        const std::size_t end = query.find('&');
        const std::string_view item = query.substr(0, end);
        const std::size_t equals = item.find('=');
        if (percentDecoded(item.substr(0, equals)) == name) {
            if (equals == std::string_view::npos) {
                return std::nullopt;
            }
            std::string value = percentDecoded(item.substr(equals + 1));
            if (!isValidUtf8(value)) {
                return std::nullopt;
            }
            return value;
        }
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        query.remove_prefix(end + 1);
    }
}

}  // namespace kestralune
