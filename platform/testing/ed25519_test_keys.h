#pragma once

#include <string>
#include <string_view>

namespace kestralune {

// A fresh Ed25519 key pair, made when the object is, to sign test updates with. Keys live only
// in memory; none is ever written out. Signing aborts the test program on an OpenSSL failure.
class Ed25519TestKey {
  public:
    Ed25519TestKey();

    // Base64 of the 32 raw bytes of the public key, as a feed's public key setting holds it.
    const std::string& publicKeyBase64() const { return publicKey; }
    // Base64 of the 64-byte signature over `bytes`.
    std::string sign(std::string_view bytes) const;
    // Base64 of the signature over the whole file at `path`.
    std::string signFile(const std::string& path) const;

  private:
    std::string privateKey;  // the 32 raw bytes of the seed
    std::string publicKey;
};

}  // namespace kestralune
