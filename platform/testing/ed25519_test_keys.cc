#include "platform/testing/ed25519_test_keys.h"

#include "platform/base64.h"
#include "platform/files.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

namespace kestralune {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string rawKey(EVP_PKEY* key, int (*get)(const EVP_PKEY*, unsigned char*, std::size_t*)) {
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    if (get(key, reinterpret_cast<unsigned char*>(raw.data()), &length) != 1 || length != 32) {
        std::abort();
    }
    return raw;
}

}  // namespace

Ed25519TestKey::Ed25519TestKey() {
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free);
    if (!key) {
        std::abort();
    }
    privateKey = rawKey(key.get(), &EVP_PKEY_get_raw_private_key);
    publicKey = base64Encoded(rawKey(key.get(), &EVP_PKEY_get_raw_public_key));
}

std::string Ed25519TestKey::sign(std::string_view bytes) const {
    const Key key(EVP_PKEY_new_raw_private_key(
                      EVP_PKEY_ED25519, nullptr,
                      reinterpret_cast<const unsigned char*>(privateKey.data()), privateKey.size()),
                  &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
        length != signature.size()) {
        std::abort();
    }
    return base64Encoded(signature);
}

std::string Ed25519TestKey::signFile(const std::string& path) const {
    const auto contents = readFile(path, std::size_t{1} << 32);
    if (!contents) {
        std::abort();
    }
    return sign(*contents);
}

}  // namespace kestralune
