#include "platform/url_scheme_registration.h"

#include "platform/files.h"
#include "platform/linux/executable_search.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/user_folders.h"

#include <string_view>
#include <vector>

namespace kestralune {

namespace {

constexpr std::size_t kEntryLimit = 64 * 1024;

// RFC 3986: a letter, then letters, digits, "+", "-" and ".". Anything else could break the
// entry's MimeType list or xdg-mime's arguments.
bool isSchemeName(std::string_view name) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (name.empty() || !letter(name.front())) {
        return false;
    }
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

const PlistValue::Array* arrayEntry(const PlistValue::Dictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.get<PlistValue::Array>();
}

// The content type of each URL scheme the bundle declares, as desktops name them.
std::vector<std::string> schemeTypes(const PlistValue::Dictionary& info) {
    std::vector<std::string> types;
    const auto* urlTypes = arrayEntry(info, "CFBundleURLTypes");
    if (urlTypes == nullptr) {
        return types;
    }
    for (const auto& type : *urlTypes) {
        const auto* fields = type.get<PlistValue::Dictionary>();
        const auto* names = fields ? arrayEntry(*fields, "CFBundleURLSchemes") : nullptr;
        if (names == nullptr) {
            continue;
        }
        for (const auto& name : *names) {
            if (const auto* text = name.get<std::string>(); text && isSchemeName(*text)) {
                types.push_back("x-scheme-handler/" + lowercased(*text));
            }
        }
    }
    return types;
}

// An Exec argument: quoted when it holds a character the Desktop Entry Specification reserves
// (unquoted otherwise, which older xdg-open scripts need, as they do not parse quotes), and
// with "%" doubled since it would start a field code.
std::string execArgument(std::string_view text) {
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = text.find_first_of(kReserved) != std::string_view::npos;
    std::string argument = quote ? "\"" : "";
    for (const char c : text) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            argument += '\\';
        }
        argument += c == '%' ? "%%" : std::string(1, c);
    }
    return quote ? argument + "\"" : argument;
}

// A value of type string: the escapes are applied to the whole value, quoting included.
std::string escapedValue(std::string_view text) {
    std::string value;
    for (const char c : text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string desktopEntry(const std::string& executable, const std::vector<std::string>& types) {
    std::string mimeTypes;
    for (const auto& type : types) {
        mimeTypes += type + ";";
    }
    // NoDisplay: the entry is there to receive links, not to appear in menus.
    return "[Desktop Entry]\nType=Application\nName=Kestralune\nExec=" +
           escapedValue(execArgument(executable)) + " %u\nMimeType=" + mimeTypes +
           "\nNoDisplay=true\n";
}

}  // namespace

void registerUrlSchemeHandler(const Bundle& bundle, ToolRunner& toolRunner) {
    const auto types = schemeTypes(bundle.infoDictionary);
    if (types.empty() || bundle.executablePath.empty()) {
        return;
    }
    const std::string folder = applicationSupportPath() + "/applications";
    const std::string fileName = bundle.identifier.value_or(kDefaultBundleIdentifier) + ".desktop";
    const std::string entry = desktopEntry(bundle.executablePath, types);
    if (readFile(folder + "/" + fileName, kEntryLimit) == entry) {
        return;
    }
    std::string failure = createDirectories(folder, 0700);
    if (failure.empty()) {
        failure = replaceFile(folder + "/" + fileName, entry);
    }
    if (!failure.empty()) {
        logLine("Kestralune could not register its links: " + failure);
        return;
    }
    std::vector<std::string> arguments{"default", fileName};
    arguments.insert(arguments.end(), types.begin(), types.end());
    const auto xdgMime = findOnPath("xdg-mime");
    const auto result = xdgMime ? toolRunner.runTool(*xdgMime, arguments)
                                : ToolResult{-1, "xdg-mime is not installed."};
    if (result.status != 0) {
        logLine("Kestralune could not make " + fileName +
                " the default handler of its links: " + result.output);
    }
}

}  // namespace kestralune
