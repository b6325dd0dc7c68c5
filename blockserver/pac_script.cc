#include "blockserver/pac_script.h"

#include <string_view>

#include "blockserver/domain_rules.h"
#include "platform/text.h"

namespace kestralune {
namespace {

void appendUnicodeEscape(std::string& out, unsigned codePoint) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(kHexDigits[(codePoint >> shift) & 0xF]);
    }
}

// One rule as a double-quoted literal that is both a JavaScript string and a JSON string:
// characters that would end or break either (line terminators, other controls) are
// escaped, and bytes that are not UTF-8 become U+FFFD so the document stays valid JSON.
void appendQuotedRule(std::string& out, std::string_view rule) {
    out.push_back('"');
    // Bytes that need no escape are copied in runs; each escape flushes the run before it.
    std::size_t runStart = 0;
    std::size_t offset = 0;
    const auto flushRun = [&] { out.append(rule.substr(runStart, offset - runStart)); };
    while (offset < rule.size()) {
        const auto byte = static_cast<unsigned char>(rule[offset]);
        if (byte < 0x80) {
            if (byte >= 0x20 && byte != 0x7F && byte != '\\' && byte != '"') {
                ++offset;
                continue;
            }
            flushRun();
            if (byte == '\\') {
                out += "\\\\";
            } else if (byte == '"') {
                out += "\\\"";
            } else {
                appendUnicodeEscape(out, byte);
            }
            runStart = ++offset;
            continue;
        }
        const std::size_t length = utf8SequenceLength(rule, offset);
        if (length == 0) {
            flushRun();
            appendUnicodeEscape(out, 0xFFFD);
            runStart = ++offset;
            continue;
        }
        const auto second = static_cast<unsigned char>(rule[offset + 1]);
        const bool c1Control = length == 2 && byte == 0xC2 && second <= 0x9F;
        // U+2028 and U+2029 end a line inside a script string.
        const bool lineSeparator = length == 3 && byte == 0xE2 && second == 0x80 &&
                                   (rule[offset + 2] == '\xA8' || rule[offset + 2] == '\xA9');
        if (c1Control || lineSeparator) {
            flushRun();
            appendUnicodeEscape(
                out, c1Control ? second
                               : 0x2000 | (static_cast<unsigned char>(rule[offset + 2]) & 0x3F));
            runStart = offset + length;
        }
        offset += length;
    }
    flushRun();
    out.push_back('"');
}

struct PreparedLists {
    std::string exceptions;
    std::string blocked;
};

PreparedLists prepare(const RuleLists& rules) {
    return {quotedRuleList(normalizedRules(rules.exceptionDomains)),
            quotedRuleList(normalizedRules(rules.blockedDomains))};
}

std::string_view boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::string quotedRuleList(const std::vector<std::string>& preparedRules) {
    std::size_t capacity = 0;
    for (const auto& rule : preparedRules) {
        capacity += rule.size() + 3;
    }
    std::string out;
    out.reserve(capacity);
    for (const auto& rule : preparedRules) {
        if (!out.empty()) {
            out.push_back(',');
        }
        appendQuotedRule(out, rule);
    }
    return out;
}

std::string pacScript(const RuleLists& rules) {
    const PreparedLists lists = prepare(rules);
    // Lines 5 and 6 also drop a trailing dot from the host, so "example.com." (the
    // fully-qualified form browsers pass through unchanged) matches like "example.com".
    static constexpr std::string_view kHead = "function FindProxyForURL(url, host) {\n";
    static constexpr std::string_view kAll = "  var allWebsitesBlocked = ";
    static constexpr std::string_view kExceptions = ";\n  var exceptions = [";
    static constexpr std::string_view kBlocked = "];\n  var blocked = [";
    static constexpr std::string_view kBody =
        R"js(];
  var lowerUrl = url.toLowerCase().replace(/^https?:\/\/(www\.)?/, "").replace(/^([^\/:?#]*)\.(?=[\/:?#]|$)/, "$1");
  var lowerHost = host.toLowerCase().replace(/\.$/, "").replace(/^www\./, "");

  function matches(rule) {
    rule = rule.toLowerCase().replace(/^www\./, "");
    if (rule.indexOf("/") >= 0) {
      return lowerUrl === rule || lowerUrl.indexOf(rule + "/") === 0;
    }
    return lowerHost === rule || dnsDomainIs(lowerHost, "." + rule);
  }

  for (var i = 0; i < exceptions.length; i++) {
    if (matches(exceptions[i])) {
      return "DIRECT";
    }
  }

  if (!allWebsitesBlocked) {
    for (var b = 0; b < blocked.length; b++) {
      if (matches(blocked[b])) {
        return "PROXY 127.0.0.1:18081";
      }
    }
    return "DIRECT";
  }

  return "PROXY 127.0.0.1:18081";
})js";
    const std::string_view all = boolText(rules.allWebsitesBlocked);
    std::string script;
    script.reserve(kHead.size() + kAll.size() + all.size() + kExceptions.size() +
                   lists.exceptions.size() + kBlocked.size() + lists.blocked.size() + kBody.size());
    script += kHead;
    script += kAll;
    script += all;
    script += kExceptions;
    script += lists.exceptions;
    script += kBlocked;
    script += lists.blocked;
    script += kBody;
    return script;
}

std::string configDocument(const RuleLists& rules) {
    const PreparedLists lists = prepare(rules);
    static constexpr std::string_view kActive = R"({"active":true,"allWebsitesBlocked":)";
    static constexpr std::string_view kExceptions = R"(,"exceptions":[)";
    static constexpr std::string_view kBlocked = R"(],"blockedDomains":[)";
    static constexpr std::string_view kTail = R"(],"blockUrl":"http://127.0.0.1:18081/blocked"})";
    const std::string_view all = boolText(rules.allWebsitesBlocked);
    std::string document;
    document.reserve(kActive.size() + all.size() + kExceptions.size() + lists.exceptions.size() +
                     kBlocked.size() + lists.blocked.size() + kTail.size());
    document += kActive;
    document += all;
    document += kExceptions;
    document += lists.exceptions;
    document += kBlocked;
    document += lists.blocked;
    document += kTail;
    return document;
}

}  // namespace kestralune
