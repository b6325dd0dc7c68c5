#include "platform/linux/ed25519_signature.h"

#include "platform/base64.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kestralune {

namespace {

constexpr std::size_t kPublicKeyLength = 32;
constexpr std::size_t kSignatureLength = 64;

// A read-only view of a whole file.
class MappedFile {
  public:
    // Empty on failure, with `error` set.
    MappedFile(const std::string& path, int& error) {
        // Non-blocking, so that a FIFO put in the archive's place cannot hold the updater.
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat status {};
        if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
            error = errno;
            return;
        }
        if (!S_ISREG(status.st_mode)) {
            error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
            return;
        }
        length = static_cast<std::size_t>(status.st_size);
        readable = true;
        if (length == 0) {
            return;  // mmap refuses an empty length; there is nothing to map.
        }
        void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (address == MAP_FAILED) {
            error = errno;
            readable = false;
            return;
        }
        bytes = static_cast<const unsigned char*>(address);
    }
    ~MappedFile() {
        if (bytes != nullptr) {
            ::munmap(const_cast<unsigned char*>(bytes), length);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool readable = false;
    const unsigned char* bytes = nullptr;
    std::size_t length = 0;
};

}  // namespace

std::string verifyEd25519FileSignature(const std::string& path, std::string_view publicKeyBase64,
                                       std::string_view signatureBase64) {
    const auto key = base64Decoded(publicKeyBase64);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        key && key->size() == kPublicKeyLength
            ? EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                          reinterpret_cast<const unsigned char*>(key->data()),
                                          key->size())
            : nullptr,
        &EVP_PKEY_free);
    if (!publicKey) {
        ERR_clear_error();
        return "The update public key is not base64 of a 32-byte Ed25519 key.";
    }
    const auto signature = base64Decoded(signatureBase64);
    if (!signature || signature->size() != kSignatureLength) {
        return "The update signature is not base64 of a 64-byte Ed25519 signature.";
    }
    int error = 0;
    const MappedFile file(path, error);
    if (!file.readable) {
        return "Could not read the update archive " + path + ": " + std::strerror(error) + ".";
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    // Ed25519 signs the message itself, in one pass: no digest is named.
    const bool verified =
        context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                         signature->size(), file.bytes, file.length) == 1;
    if (!verified) {
        ERR_clear_error();
        return "The signature of the update archive " + path + " does not match its contents.";
    }
    return {};
}

}  // namespace kestralune
