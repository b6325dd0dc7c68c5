#include "codesign/code_signature.h"

#include "codesign/bundle_seal.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/plist_value.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace kestralune {

// The anchor certificate (PEM) this build trusts, generated at configure time.
extern const char kBuiltInAnchorPem[];

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSmallFileLimit = std::size_t{1} << 20;
constexpr std::size_t kCodeResourcesLimit = std::size_t{64} << 20;
constexpr std::string_view kSignatureContext = "Kestralune code signature 1\n";

// The signed bytes. The context keeps a signature this key made for anything else from passing
// for a bundle's; the identifier's length fixes where it ends and the digest begins, so neither
// can be moved into the other.
std::string signedMessage(std::string_view identifier, std::string_view codeResources) {
    std::string message(kSignatureContext);
    const auto length = static_cast<std::uint32_t>(identifier.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        message += static_cast<char>((length >> shift) & 0xff);
    }
    message += identifier;
    message += sha256(codeResources);
    return message;
}

PlistValue::Data dataOf(const std::string& bytes) {
    return {bytes.begin(), bytes.end()};
}

// The folder's entries, sorted; none when it cannot be read.
std::vector<fs::directory_entry> entriesOf(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator next(folder, error); !error && next != fs::directory_iterator();
         next.increment(error)) {
        entries.push_back(*next);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool isRealFolder(const fs::directory_entry& entry) {
    std::error_code error;
    return entry.symlink_status(error).type() == fs::file_type::directory;
}

std::vector<fs::path> nestedBundles(const fs::path& root) {
    std::vector<fs::path> folders;
    for (const char* name : {"MacOS", "Resources", "Frameworks", "PlugIns"}) {
        folders.push_back(root / "Contents" / name);
    }
    for (const auto& entry : entriesOf(root / "Contents/Library")) {
        if (isRealFolder(entry)) {
            folders.push_back(entry.path());
        }
    }
    std::vector<fs::path> bundles;
    for (const auto& folder : folders) {
        for (const auto& entry : entriesOf(folder)) {
            const auto extension = entry.path().extension();
            if (isRealFolder(entry) && (extension == ".app" || extension == ".framework" ||
                                        extension == ".appex" || extension == ".bundle")) {
                bundles.push_back(entry.path());
            }
        }
    }
    return bundles;
}

std::string relativeName(const fs::path& nested, const fs::path& root) {
    return nested.lexically_relative(root).generic_string();
}

// Rewrites only what changed; readable by everyone, like the rest of the bundle.
std::string writeSignatureFile(const fs::path& file, const std::string& bytes) {
    if (readFile(file, bytes.size()) == bytes) {
        return {};
    }
    if (auto why = replaceFile(file, bytes); !why.empty()) {
        return why;
    }
    return setFileMode(file, 0644);
}

struct SignatureFields {
    std::string identifier;
    std::string leaf;
    std::string anchor;
    std::string signature;
};

template <class T>
const T* member(const PlistValue::Dictionary* dictionary, const char* key) {
    const auto found =
        dictionary ? dictionary->find(key) : PlistValue::Dictionary::const_iterator();
    return dictionary && found != dictionary->end() ? found->second.get<T>() : nullptr;
}

std::string bytesOf(const PlistValue::Data& data) {
    return {data.begin(), data.end()};
}

std::optional<SignatureFields> parseSignatureFile(const std::string& text) {
    const auto value = parsePropertyList(text);
    const auto* top = value ? value->get<PlistValue::Dictionary>() : nullptr;
    const auto* identifier = member<std::string>(top, "identifier");
    const auto* chain = member<PlistValue::Array>(top, "certificates");
    const auto* signature = member<PlistValue::Data>(top, "signature");
    const bool pair = chain && chain->size() == 2;
    const auto* leaf = pair ? (*chain)[0].get<PlistValue::Data>() : nullptr;
    const auto* anchor = pair ? (*chain)[1].get<PlistValue::Data>() : nullptr;
    if (!identifier || !signature || !leaf || !anchor) {
        return std::nullopt;
    }
    return SignatureFields{*identifier, bytesOf(*leaf), bytesOf(*anchor), bytesOf(*signature)};
}

VerificationResult verify(const fs::path& root, const VerificationOptions& options,
                          const Requirement* requirement) {
    const auto invalid = [](std::string why) {
        return VerificationResult{VerificationStatus::invalid, std::move(why)};
    };
    const fs::path folder = root / kSignatureFolder;
    const auto signatureFile = readFile(folder / "CodeSignature", kSmallFileLimit);
    if (!signatureFile) {
        return invalid("code object is not signed at all");
    }
    const auto fields = parseSignatureFile(*signatureFile);
    if (!fields) {
        return invalid("the code signature is malformed");
    }
    const auto resources = readFile(folder / "CodeResources", kCodeResourcesLimit);
    if (!resources) {
        return invalid("the resource seal is missing or unreadable");
    }
    SignedCodeFacts facts{fields->identifier, {}, {}, false};
    if (auto why =
            checkSignature(fields->leaf, fields->anchor, options.trustedAnchors,
                           signedMessage(fields->identifier, *resources), fields->signature, facts);
        !why.empty()) {
        return invalid(why);
    }
    BundleEntries seal;
    if (auto why = parseCodeResources(*resources, seal); !why.empty()) {
        return invalid(why);
    }
    if (auto why = checkSeal(root, seal, options.strict); !why.empty()) {
        return invalid(why);
    }
    for (const auto& nested : options.deep ? nestedBundles(root) : std::vector<fs::path>()) {
        if (auto result = verify(nested, options, nullptr);
            result.status != VerificationStatus::valid) {
            return invalid("in nested code " + relativeName(nested, root) + ": " + result.reason);
        }
    }
    if (requirement && !isSatisfied(*requirement, facts)) {
        return {VerificationStatus::requirementNotMet,
                "test-requirement: code failed to satisfy specified code requirement(s)"};
    }
    return {VerificationStatus::valid, {}};
}

}  // namespace

std::vector<std::string> systemTrustedAnchors() {
    auto anchors = certificatesInPem(kBuiltInAnchorPem);
    for (const auto& entry : entriesOf(kTrustedAnchorFolder)) {
        std::error_code error;
        const auto text = entry.path().extension() == ".pem" && entry.is_regular_file(error)
                              ? readFile(entry.path(), kSmallFileLimit)
                              : std::nullopt;
        for (auto& der : text ? certificatesInPem(*text) : std::vector<std::string>()) {
            anchors.push_back(std::move(der));
        }
    }
    return anchors;
}

std::string signBundle(const std::string& path, const SigningIdentity& identity,
                       const SigningOptions& options) {
    const fs::path root(path);
    const fs::path folder = root / kSignatureFolder;
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        return "not a bundle folder";
    }
    if (!options.force && fs::exists(folder / "CodeSignature", error)) {
        return "is already signed";
    }
    const auto bundle = bundleAtPath(path);
    const std::string identifier =
        options.identifier.value_or(bundle ? bundle->identifier.value_or("") : "");
    if (identifier.empty()) {
        return "the bundle has no identifier (CFBundleIdentifier in Contents/Info.plist or -i)";
    }
    for (const auto& nested : options.deep ? nestedBundles(root) : std::vector<fs::path>()) {
        if (auto why = signBundle(nested, identity, {std::nullopt, options.force, true});
            !why.empty()) {
            return relativeName(nested, root) + ": " + why;
        }
    }
    BundleEntries seal;
    if (auto why = scanBundle(root, true, seal); !why.empty()) {
        return why;
    }
    for (const auto& [name, entry] : seal) {
        if (entry.type == SealedEntry::Type::other) {
            return "only files, folders and symbolic links may be in a bundle: " + name;
        }
    }
    const auto resources = codeResourcesText(seal);
    if (!resources) {
        return "a path or link target in the bundle is not UTF-8 text";
    }
    const std::string signature = signMessage(identity, signedMessage(identifier, *resources));
    if (signature.empty()) {
        return "could not sign with the identity's key";
    }
    const auto signatureFile = xmlPropertyList(PlistValue::Dictionary{
        {"identifier", identifier},
        {"certificates",
         PlistValue::Array{dataOf(identity.leafCertificate), dataOf(identity.anchorCertificate)}},
        {"signature", dataOf(signature)}});
    if (!signatureFile) {
        return "the identifier is not UTF-8 text";
    }
    if (auto why = createDirectories(folder.string(), 0755); !why.empty()) {
        return why;
    }
    if (auto why = writeSignatureFile(folder / "CodeResources", *resources); !why.empty()) {
        return why;
    }
    return writeSignatureFile(folder / "CodeSignature", *signatureFile);
}

VerificationResult verifyBundle(const std::string& path, const VerificationOptions& options) {
    return verify(path, options, options.requirement ? &*options.requirement : nullptr);
}

}  // namespace kestralune
