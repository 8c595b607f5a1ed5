// libFuzzer target for the DKIM key loader. The input is the whole key file, any bytes. The loader must either
// refuse it with its own error or give a key that signs a fixed message, with a signature that its own public
// key verifies and a DNS record to publish; any other exception, or a key that then cannot sign, traps.
#include "smtp/DkimError.h"
#include "smtp/DkimKey.h"

#include <QByteArray>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

[[noreturn]] void Trap(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

const std::string& KeyFile() {
    static const std::string path = "/tmp/fuzz-dkimkey-" + std::to_string(::getpid());
    return path;
}

// Verifies the signature with the public key of the DNS record's p= tag, as a receiver would.
bool Verifies(const TDkimKey& key, const std::string& data, const std::string& signature) {
    const std::string tags = key.PublicKeyTags();
    const QByteArray publicKey = QByteArray::fromBase64(QByteArray::fromStdString(tags.substr(tags.find("p=") + 2)));
    const QByteArray sig = QByteArray::fromBase64(QByteArray::fromStdString(signature));
    const auto* raw = reinterpret_cast<const unsigned char*>(publicKey.constData());
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        key.Kind() == TDkimKey::TKind::Rsa
            ? d2i_PUBKEY(nullptr, &raw, publicKey.size())
            : EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, static_cast<size_t>(publicKey.size())),
        EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    const auto* input = reinterpret_cast<const unsigned char*>(data.data());
    size_t inputSize = data.size();
    const EVP_MD* md = EVP_sha256();
    if (key.Kind() == TDkimKey::TKind::Ed25519) {
        SHA256(input, inputSize, digest);
        input = digest;
        inputSize = sizeof digest;
        md = nullptr;
    }
    return pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.constData()),
                            static_cast<size_t>(sig.size()), input, inputSize) == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (std::FILE* f = std::fopen(KeyFile().c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        Trap("cannot write the key file");
    }
    std::unique_ptr<TDkimKey> key;
    try {
        key = std::make_unique<TDkimKey>(KeyFile());
    } catch (const EDkimError&) {
        return 0;
    } catch (const std::exception& e) {
        Trap(e.what());
    } catch (...) {
        Trap("an exception that is not an EDkimError");
    }
    const std::string message = "from:News <news@example.org>\r\nsubject:Hello\r\ndkim-signature:v=1; b=";
    try {
        if (!Verifies(*key, message, key->Sign(message)))
            Trap("the key signs, but its own public key does not verify the signature");
    } catch (const std::exception& e) {
        Trap(e.what()); // a key that was accepted must sign
    }
    return 0;
}
