#pragma once

#include "codesign/requirement.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// The 32 raw bytes of the SHA-256 of `bytes`.
std::string sha256(std::string_view bytes);

// The SHA-256 of a regular file, read in pieces without following a link; empty when the path
// is not a regular file or cannot be read. A FIFO put in a file's place does not block it.
std::string fileSha256(const std::filesystem::path& path);

// A team's signing identity: its Ed25519 key and the chain that vouches for it.
struct SigningIdentity {
    std::string privateKey;         // the 32 raw bytes of the Ed25519 seed
    std::string leafCertificate;    // DER; carries the key's public half and the team (OU)
    std::string anchorCertificate;  // DER of the anchor said to have issued the leaf
};

// Reads an identity from PEM text holding an unencrypted Ed25519 private key and exactly two
// certificates in any order: the leaf (the one matching the key) and its anchor. Whether the
// anchor really issued the leaf is left to verification, where trust is decided. Returns an
// empty string, or a short reason saying what is missing.
[[nodiscard]] std::string readSigningIdentity(std::string_view pem, SigningIdentity& identity);

// DER of the certificates in PEM text, in order, up to the first malformed one.
std::vector<std::string> certificatesInPem(std::string_view pem);

// The 64-byte Ed25519 signature of `message` with the identity's key; empty on failure.
std::string signMessage(const SigningIdentity& identity, std::string_view message);

// Accepts `signature` over `message` only when the leaf's key (Ed25519) made it, the anchor is
// byte for byte one of `trustedAnchors` (DER), and the anchor issued and signed the leaf (a
// chain of exactly these two). Certificate dates are not checked: a shipped bundle must keep
// verifying once its certificate has expired. On success fills the leaf's fields of `facts`,
// marks the anchor trusted and returns an empty string; otherwise a short reason.
[[nodiscard]] std::string checkSignature(std::string_view leaf, std::string_view anchor,
                                         const std::vector<std::string>& trustedAnchors,
                                         std::string_view message, std::string_view signature,
                                         SignedCodeFacts& facts);

}  // namespace kestralune
