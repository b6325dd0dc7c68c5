#include "platform/appcast.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kestralune {

namespace {

constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// The prefix the document binds to the sparkle namespace, "sparkle" when it binds none.
std::string sparklePrefix(const pugi::xml_node& rss) {
    for (const auto& attribute : rss.attributes()) {
        const std::string_view name = attribute.name();
        if (name.starts_with("xmlns:") && std::strcmp(attribute.value(), kSparkleNamespace) == 0) {
            return std::string(name.substr(6));
        }
    }
    return "sparkle";
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// The child element's text, else the enclosure's attribute of the same name.
std::string sparkleValue(const pugi::xml_node& item, const pugi::xml_node& enclosure,
                         const std::string& name) {
    const auto element = item.child(name.c_str());
    return trimmed(element ? element.text().get() : enclosure.attribute(name.c_str()).value());
}

// A part's digits without leading zeros, so that parts of any length compare exactly.
std::string_view significant(std::string_view part) {
    const auto first = part.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : part.substr(first);
}

std::optional<std::vector<std::string_view>> versionParts(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto dot = text.find('.', start);
        const auto part = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.empty() ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        parts.push_back(significant(part));
        if (dot == std::string_view::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

}  // namespace

std::string parseAppcast(std::string_view text, std::vector<AppcastItem>& items) {
    items.clear();
    pugi::xml_document document;
    const auto parsed =
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        return std::string("The update feed is not XML: ") + parsed.description() + " at byte " +
               std::to_string(parsed.offset) + ".";
    }
    const auto rss = document.child("rss");
    const auto channel = rss.child("channel");
    if (!channel) {
        return "The update feed is not an RSS document with a channel.";
    }
    const auto prefix = sparklePrefix(rss) + ":";
    for (const auto& node : channel.children("item")) {
        const auto enclosure = node.child("enclosure");
        AppcastItem item;
        item.title = trimmed(node.child_value("title"));
        item.versionString = sparkleValue(node, enclosure, prefix + "version");
        item.displayVersionString = sparkleValue(node, enclosure, prefix + "shortVersionString");
        if (item.displayVersionString.empty()) {
            item.displayVersionString = item.versionString;
        }
        item.fileURL = trimmed(enclosure.attribute("url").value());
        const std::string length = trimmed(enclosure.attribute("length").value());
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), item.contentLength);
        if (error != std::errc() || end != length.data() + length.size()) {
            item.contentLength = 0;
        }
        item.contentType = enclosure.attribute("type").value();
        item.edSignature = trimmed(enclosure.attribute((prefix + "edSignature").c_str()).value());
        if (!item.versionString.empty() && !item.fileURL.empty()) {
            items.push_back(std::move(item));
        }
    }
    return {};
}

std::optional<int> compareVersions(std::string_view a, std::string_view b) {
    const auto left = versionParts(a);
    const auto right = versionParts(b);
    if (!left || !right) {
        return std::nullopt;
    }
    const auto count = std::max(left->size(), right->size());
    for (std::size_t i = 0; i < count; ++i) {
        const auto x = i < left->size() ? (*left)[i] : std::string_view();
        const auto y = i < right->size() ? (*right)[i] : std::string_view();
        if (x.size() != y.size()) {
            return x.size() < y.size() ? -1 : 1;
        }
        if (const int order = x.compare(y); order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                      std::string_view currentVersion) {
    const AppcastItem* best = nullptr;
    for (const auto& item : items) {
        const auto newer = compareVersions(item.versionString, currentVersion);
        if (!newer || *newer <= 0) {
            continue;
        }
        if (!best || compareVersions(item.versionString, best->versionString) > 0) {
            best = &item;
        }
    }
    return best ? std::optional<AppcastItem>(*best) : std::nullopt;
}

}  // namespace kestralune
