#pragma once

#include "codesign/requirement.h"
#include "codesign/signature_crypto.h"

#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// A bundle's signature lives in its Contents/_CodeSignature/:
// - CodeResources, the seal: the SHA-256 of every file and the target of every symbolic link
//   of the bundle outside that folder (a nested bundle's files, signature included, are
//   ordinary content);
// - CodeSignature, an XML property list {"identifier": TEXT, "certificates": [DATA leaf,
//   DATA anchor], "signature": DATA}, the Ed25519 signature by the leaf's key over a fixed
//   context, the identifier's length, the identifier and the SHA-256 of CodeResources.
// Every bundle keeps this layout, frameworks included. Calls block on the file system and keep
// no state; any thread.

// Where certificates (*.pem) trusted besides the one built in are installed.
inline constexpr const char* kTrustedAnchorFolder = "/etc/kestralune/codesign/anchors";

// DER of the anchors the command-line tool trusts: the one this build was configured with,
// then every certificate of every *.pem file in kTrustedAnchorFolder (a missing folder or
// unreadable file adds none).
std::vector<std::string> systemTrustedAnchors();

struct SigningOptions {
    std::optional<std::string> identifier;  // default: the Info.plist's CFBundleIdentifier;
                                            // for the outer bundle only
    bool force = false;                     // replace an existing signature
    bool deep = false;                      // sign nested bundles first, with their own
                                            // identifiers
};

// Seals and signs the bundle at `path`, writing each signature file atomically (and not at
// all when its bytes are unchanged, so its modification time says when the bundle changed).
// Refuses, before writing its own signature, a bundle already signed when `force` is not
// given, without an identifier, or holding anything but files, folders and symbolic links.
// Returns an empty string, or a short reason.
[[nodiscard]] std::string signBundle(const std::string& path, const SigningIdentity& identity,
                                     const SigningOptions& options);

enum class VerificationStatus { valid, invalid, requirementNotMet };

struct VerificationResult {
    VerificationStatus status = VerificationStatus::invalid;
    std::string reason;  // empty when valid
};

struct VerificationOptions {
    bool deep = false;    // also verify every nested bundle (without the requirement)
    bool strict = false;  // refuse unsealed entries and links that leave the bundle
    std::optional<Requirement> requirement;
    std::vector<std::string> trustedAnchors;  // DER certificates
};

// With `deep`, the nested bundles are each *.app, *.framework, *.appex or *.bundle folder
// directly inside Contents/MacOS, Resources, Frameworks, PlugIns or a folder of
// Contents/Library. Invalid when the signature is missing or malformed, does not verify, is not by
// a leaf the trusted anchor issued, or the bundle differs from its seal; requirementNotMet only for
// a valid bundle.
VerificationResult verifyBundle(const std::string& path, const VerificationOptions& options);

}  // namespace kestralune
