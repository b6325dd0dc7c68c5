#include "codesign/signature_crypto.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace kestralune {

namespace {

constexpr std::size_t kSeedLength = 32;
constexpr std::size_t kSignatureLength = 64;

template <auto free>
struct Free {
    template <class T>
    void operator()(T* object) const {
        free(object);
    }
};
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Certificate = std::unique_ptr<X509, Free<X509_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using Store = std::unique_ptr<X509_STORE, Free<X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>>;

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

Bio memoryBio(std::string_view bytes) {
    return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

Certificate fromDer(std::string_view der) {
    const unsigned char* next = bytesOf(der);
    Certificate certificate(d2i_X509(nullptr, &next, static_cast<long>(der.size())));
    // Bytes after the certificate would be carried unsigned.
    return next == bytesOf(der) + der.size() ? std::move(certificate) : nullptr;
}

std::string toDer(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(length, 0)));
    OPENSSL_free(der);
    return bytes;
}

std::vector<Certificate> readCertificates(std::string_view pem) {
    std::vector<Certificate> certificates;
    const Bio bio = memoryBio(pem);
    while (bio) {
        Certificate next(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!next) {
            break;
        }
        certificates.push_back(std::move(next));
    }
    ERR_clear_error();
    return certificates;
}

std::string nameEntry(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    const X509_NAME_ENTRY* entry = index < 0 ? nullptr : X509_NAME_get_entry(name, index);
    unsigned char* utf8 = nullptr;
    const int length = entry ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry)) : -1;
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(std::max(length, 0)));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

std::string sha256(std::string_view bytes) {
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    std::size_t length = 0;
    if (EVP_Q_digest(nullptr, "SHA256", nullptr, bytes.data(), bytes.size(),
                     reinterpret_cast<unsigned char*>(digest.data()), &length) != 1) {
        std::abort();  // SHA-256 cannot fail but for a broken library
    }
    digest.resize(length);
    return digest;
}

std::string fileSha256(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    const DigestContext context(EVP_MD_CTX_new());
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || !context ||
        EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::array<char, 1 << 16> buffer;
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count == 0) {
            break;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 ||
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
            return {};
        }
    }
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()),
                           &length) != 1) {
        return {};
    }
    digest.resize(length);
    return digest;
}

std::string readSigningIdentity(std::string_view pem, SigningIdentity& identity) {
    const Bio bio = memoryBio(pem);
    // An encrypted key is refused rather than asking for a passphrase on the terminal.
    const auto noPassphrase = [](char*, int, int, void*) { return 0; };
    const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr)
                      : nullptr);
    const auto certificates = readCertificates(pem);
    ERR_clear_error();
    if (!key || !EVP_PKEY_is_a(key.get(), "ED25519")) {
        return "the identity holds no unencrypted Ed25519 private key";
    }
    if (certificates.size() != 2) {
        return "the identity must hold two certificates, its own and its anchor's";
    }
    const bool firstIsLeaf = X509_check_private_key(certificates[0].get(), key.get()) == 1;
    const bool secondIsLeaf = X509_check_private_key(certificates[1].get(), key.get()) == 1;
    ERR_clear_error();
    if (!firstIsLeaf && !secondIsLeaf) {
        return "neither certificate of the identity is for its private key";
    }
    std::string seed(kSeedLength, '\0');
    std::size_t length = seed.size();
    if (EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char*>(seed.data()),
                                     &length) != 1) {
        ERR_clear_error();
        return "the identity's private key cannot be read";
    }
    identity.privateKey = std::move(seed);
    identity.leafCertificate = toDer(certificates[firstIsLeaf ? 0 : 1].get());
    identity.anchorCertificate = toDer(certificates[firstIsLeaf ? 1 : 0].get());
    return {};
}

std::vector<std::string> certificatesInPem(std::string_view pem) {
    std::vector<std::string> ders;
    for (const auto& certificate : readCertificates(pem)) {
        ders.push_back(toDer(certificate.get()));
    }
    return ders;
}

std::string signMessage(const SigningIdentity& identity, std::string_view message) {
    const Key key(EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, bytesOf(identity.privateKey), identity.privateKey.size()));
    const DigestContext context(EVP_MD_CTX_new());
    std::string signature(kSignatureLength, '\0');
    std::size_t length = signature.size();
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       bytesOf(message), message.size()) != 1) {
        ERR_clear_error();
        return {};
    }
    return signature;
}

std::string checkSignature(std::string_view leafDer, std::string_view anchorDer,
                           const std::vector<std::string>& trustedAnchors, std::string_view message,
                           std::string_view signature, SignedCodeFacts& facts) {
    const Certificate leaf = fromDer(leafDer);
    const Certificate anchor = fromDer(anchorDer);
    ERR_clear_error();
    if (!leaf || !anchor) {
        return "a certificate of the signature is malformed";
    }
    if (std::find(trustedAnchors.begin(), trustedAnchors.end(), anchorDer) ==
        trustedAnchors.end()) {
        return "the signature's anchor is not trusted";
    }
    // The store holds only the included anchor, so the chain can end nowhere else.
    const Store store(X509_STORE_new());
    const StoreContext chain(X509_STORE_CTX_new());
    if (!store || !chain || X509_STORE_add_cert(store.get(), anchor.get()) != 1 ||
        X509_STORE_CTX_init(chain.get(), store.get(), leaf.get(), nullptr) != 1) {
        ERR_clear_error();
        return "the certificate chain could not be checked";
    }
    X509_STORE_CTX_set_flags(chain.get(), X509_V_FLAG_NO_CHECK_TIME);
    if (X509_verify_cert(chain.get()) != 1) {
        ERR_clear_error();
        return std::string("the signing certificate is not vouched for by the anchor: ") +
               X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain.get()));
    }
    EVP_PKEY* key = X509_get0_pubkey(leaf.get());
    if (key == nullptr || !EVP_PKEY_is_a(key, "ED25519")) {
        ERR_clear_error();
        return "the signing certificate's key is not an Ed25519 key";
    }
    const DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(), bytesOf(message),
                         message.size()) != 1) {
        ERR_clear_error();
        return "the signature does not match the signed code";
    }
    const X509_NAME* subject = X509_get_subject_name(leaf.get());
    facts.leafOrganizationalUnit = nameEntry(subject, NID_organizationalUnitName);
    facts.leafCommonName = nameEntry(subject, NID_commonName);
    facts.anchorTrusted = true;
    return {};
}

}  // namespace kestralune
