#pragma once

#include <string>
#include <string_view>

namespace kestralune {

// Checks an update archive against the signature its feed carries: `publicKeyBase64` is base64
// of the 32 raw bytes of an Ed25519 public key, `signatureBase64` base64 of the 64-byte
// signature over the file's whole contents (an empty file is a message like any other).
// Returns an empty string only when the signature verifies; otherwise one sentence saying
// whether the key, the signature's encoding, the file or the match failed. Blocks while it
// reads the file, so it runs on a background thread; it keeps no state.
[[nodiscard]] std::string verifyEd25519FileSignature(const std::string& path,
                                                     std::string_view publicKeyBase64,
                                                     std::string_view signatureBase64);

}  // namespace kestralune
