// Reading, checking and using a DKIM private key with OpenSSL 3.
#include "smtp/DkimKey.h"

#include "smtp/DkimError.h"

#include <QByteArray>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// A PEM key of the largest size we accept is a few kilobytes; anything far bigger is some other file.
constexpr std::streamsize MaxKeyFileBytes = 64 * 1024;

struct TBioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TMdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string Base64(const unsigned char* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).toBase64().toStdString();
}

std::string ReadKeyFile(const std::string& fileName) {
    errno = 0;
    std::ifstream file(fileName, std::ios::binary);
    std::string text;
    if (file) {
        text.resize(MaxKeyFileBytes + 1);
        file.read(text.data(), MaxKeyFileBytes + 1);
        text.resize(static_cast<size_t>(file.gcount()));
    }
    if (!file && !file.eof()) {
        const int error = errno;
        throw EDkimError("The DKIM key file " + fileName + " cannot be read" +
                         (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) + ".");
    }
    if (text.size() > static_cast<size_t>(MaxKeyFileBytes))
        throw EDkimError("The file " + fileName + " is not a private key: it is far too large for one.");
    return text;
}

// Never asks for a passphrase (OpenSSL's default would prompt on the terminal); notes that one was needed.
int RefusePassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return 0;
}

} // namespace

void TDkimKey::TPkeyFree::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

TDkimKey::TDkimKey(const std::string& fileName) {
    const std::string pem = ReadKeyFile(fileName);
    std::unique_ptr<BIO, TBioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    bool asked = false;
    ERR_set_mark();
    FKey.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassphrase, &asked) : nullptr);
    ERR_pop_to_mark();
    if (!FKey) {
        if (asked)
            throw EDkimError("The DKIM key file " + fileName +
                             " is protected by a passphrase; signing needs the key without one.");
        if (pem.find("PUBLIC KEY-----") != std::string::npos || pem.find("CERTIFICATE-----") != std::string::npos)
            throw EDkimError("The file " + fileName +
                             " holds a public key or certificate; DKIM signing needs the private key.");
        throw EDkimError("The file " + fileName + " is not a private key in PEM format.");
    }
    if (EVP_PKEY_get_base_id(FKey.get()) == EVP_PKEY_ED25519) {
        FKind = TKind::Ed25519;
    } else if (EVP_PKEY_get_base_id(FKey.get()) == EVP_PKEY_RSA) {
        FKind = TKind::Rsa;
        const int bits = EVP_PKEY_get_bits(FKey.get());
        if (bits < MinRsaBits)
            throw EDkimError("The RSA key in " + fileName + " has " + std::to_string(bits) +
                             " bits; DKIM keys need at least 2048 bits, shorter ones are ignored or distrusted.");
        if (bits > MaxRsaBits)
            throw EDkimError("The RSA key in " + fileName + " has " + std::to_string(bits) +
                             " bits; many receivers cannot check signatures of keys over 4096 bits.");
    } else {
        const char* type = EVP_PKEY_get0_type_name(FKey.get());
        throw EDkimError("The key in " + fileName + " is of type " + (type ? type : "unknown") +
                         "; DKIM signs with RSA (2048 bits or more) or Ed25519 keys.");
    }
    // A damaged key may still load and sign, with signatures no receiver can verify: one is tried here.
    if (!SignsVerifiably())
        throw EDkimError("The DKIM key in " + fileName +
                         " is damaged: its signatures do not match its own public key. Make a new key.");
}

bool TDkimKey::SignsVerifiably() const {
    const std::string data = "A test of the key.";
    const QByteArray signature = QByteArray::fromBase64(QByteArray::fromStdString(Sign(data)));
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx(EVP_MD_CTX_new());
    const bool ed25519 = FKind == TKind::Ed25519; // signs the SHA-256, as Sign does
    const bool verified =
        ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, FKey.get()) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                         static_cast<size_t>(signature.size()),
                         ed25519 ? digest : reinterpret_cast<const unsigned char*>(data.data()),
                         ed25519 ? sizeof digest : data.size()) == 1;
    ERR_clear_error();
    return verified;
}

TDkimKey::~TDkimKey() = default;
TDkimKey::TDkimKey(TDkimKey&&) noexcept = default;
TDkimKey& TDkimKey::operator=(TDkimKey&&) noexcept = default;

const char* TDkimKey::Algorithm() const {
    return FKind == TKind::Rsa ? "rsa-sha256" : "ed25519-sha256";
}

std::string TDkimKey::PublicKeyTags() const {
    // RSA keys go out as SubjectPublicKeyInfo (RFC 6376 3.6.1); Ed25519 keys as their 32 raw bytes (RFC 8463 4).
    std::string der;
    if (FKind == TKind::Rsa) {
        const int size = i2d_PUBKEY(FKey.get(), nullptr);
        der.resize(static_cast<size_t>(std::max(size, 0)));
        auto* out = reinterpret_cast<unsigned char*>(der.data());
        if (size <= 0 || i2d_PUBKEY(FKey.get(), &out) != size)
            throw EDkimError("The public key cannot be derived from the DKIM key (OpenSSL).");
    } else {
        size_t size = 0;
        EVP_PKEY_get_raw_public_key(FKey.get(), nullptr, &size);
        der.resize(size);
        if (size == 0 ||
            EVP_PKEY_get_raw_public_key(FKey.get(), reinterpret_cast<unsigned char*>(der.data()), &size) != 1)
            throw EDkimError("The public key cannot be derived from the DKIM key (OpenSSL).");
    }
    return std::string(FKind == TKind::Rsa ? "k=rsa" : "k=ed25519") +
           "; p=" + Base64(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

std::string TDkimKey::Sign(std::string_view data) const {
    std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx(EVP_MD_CTX_new());
    unsigned char digest[SHA256_DIGEST_LENGTH];
    const unsigned char* input = reinterpret_cast<const unsigned char*>(data.data());
    size_t inputSize = data.size();
    const EVP_MD* md = EVP_sha256();
    if (FKind == TKind::Ed25519) {
        // Ed25519 hashes internally with SHA-512 and takes no digest; RFC 8463 has it sign the SHA-256 of the data.
        SHA256(input, inputSize, digest);
        input = digest;
        inputSize = sizeof digest;
        md = nullptr;
    }
    size_t size = 0;
    std::string signature;
    bool done = ctx && EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, FKey.get()) == 1 &&
                EVP_DigestSign(ctx.get(), nullptr, &size, input, inputSize) == 1;
    if (done) {
        signature.resize(size);
        done =
            EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, input, inputSize) == 1;
        signature.resize(size);
    }
    if (!done) {
        ERR_clear_error();
        throw EDkimError("The message cannot be signed (OpenSSL).");
    }
    return Base64(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}
