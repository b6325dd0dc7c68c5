#include "codesign/bundle_seal.h"

#include "codesign/signature_crypto.h"
#include "platform/plist_value.h"

#include <algorithm>

namespace kestralune {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDigestLength = 32;

// A path our own scan could have written: relative, normal and inside the bundle.
bool isBundlePath(const std::string& path) {
    const fs::path relative(path);
    return !path.empty() && relative.is_relative() &&
           relative.lexically_normal().generic_string() == path && *relative.begin() != "..";
}

bool leavesBundle(const std::string& link, const std::string& target) {
    if (fs::path(target).is_absolute()) {
        return true;
    }
    const auto resolved = (fs::path(link).parent_path() / target).lexically_normal();
    return *resolved.begin() == "..";
}

}  // namespace

std::string scanBundle(const fs::path& root, bool hashFiles, BundleEntries& entries) {
    std::error_code error;
    fs::recursive_directory_iterator next(root, error);
    for (; !error && next != fs::recursive_directory_iterator(); next.increment(error)) {
        const std::string relative = next->path().lexically_relative(root).generic_string();
        const auto type = next->symlink_status(error).type();
        if (error) {
            break;
        }
        if (type == fs::file_type::directory) {
            if (relative == kSignatureFolder) {
                next.disable_recursion_pending();
            }
            continue;
        }
        SealedEntry entry;
        if (type == fs::file_type::regular) {
            entry.type = SealedEntry::Type::file;
            if (hashFiles && (entry.value = fileSha256(next->path())).empty()) {
                return "could not read " + relative;
            }
        } else if (type == fs::file_type::symlink) {
            entry = {SealedEntry::Type::symbolicLink,
                     fs::read_symlink(next->path(), error).string()};
            if (error) {
                break;
            }
        }
        entries.emplace(relative, std::move(entry));
    }
    return error ? "could not read the bundle: " + error.message() : std::string();
}

std::optional<std::string> codeResourcesText(const BundleEntries& seal) {
    PlistValue::Dictionary files;
    for (const auto& [path, entry] : seal) {
        if (entry.type == SealedEntry::Type::file) {
            files.emplace(path,
                          PlistValue::Dictionary{
                              {"hash2", PlistValue::Data(entry.value.begin(), entry.value.end())}});
        } else if (entry.type == SealedEntry::Type::symbolicLink) {
            files.emplace(path, PlistValue::Dictionary{{"symlink", entry.value}});
        }
    }
    return xmlPropertyList(PlistValue::Dictionary{{"files2", std::move(files)}});
}

std::string parseCodeResources(const std::string& text, BundleEntries& seal) {
    const auto value = parsePropertyList(text);
    const auto* top = value ? value->get<PlistValue::Dictionary>() : nullptr;
    const auto files = top ? top->find("files2") : PlistValue::Dictionary::const_iterator();
    const auto* list =
        top && files != top->end() ? files->second.get<PlistValue::Dictionary>() : nullptr;
    if (list == nullptr) {
        return "the resource seal is malformed";
    }
    for (const auto& [path, item] : *list) {
        const auto* fields = item.get<PlistValue::Dictionary>();
        if (!isBundlePath(path) || fields == nullptr || fields->size() != 1) {
            return "the resource seal is malformed at " + path;
        }
        const auto& [key, field] = *fields->begin();
        const auto* digest = field.get<PlistValue::Data>();
        const auto* target = field.get<std::string>();
        if (key == "hash2" && digest != nullptr && digest->size() == kDigestLength) {
            seal[path] = {SealedEntry::Type::file, std::string(digest->begin(), digest->end())};
        } else if (key == "symlink" && target != nullptr) {
            seal[path] = {SealedEntry::Type::symbolicLink, *target};
        } else {
            return "the resource seal is malformed at " + path;
        }
    }
    return {};
}

std::string checkSeal(const fs::path& root, const BundleEntries& seal, bool strict) {
    BundleEntries present;
    if (auto why = scanBundle(root, false, present); !why.empty()) {
        return why;
    }
    for (const auto& [path, sealed] : seal) {
        const auto found = present.find(path);
        const bool intact =
            found != present.end() && found->second.type == sealed.type &&
            (sealed.type == SealedEntry::Type::file ? fileSha256(root / path) == sealed.value
                                                    : found->second.value == sealed.value);
        if (!intact) {
            return "a sealed resource is missing or invalid: " + path;
        }
        if (strict && sealed.type == SealedEntry::Type::symbolicLink &&
            leavesBundle(path, sealed.value)) {
            return "a sealed symbolic link points outside the bundle: " + path;
        }
    }
    const auto added = std::find_if(present.begin(), present.end(),
                                    [&](const auto& entry) { return !seal.contains(entry.first); });
    if (strict && added != present.end()) {
        return "a file the seal does not name was added: " + added->first;
    }
    return {};
}

}  // namespace kestralune
