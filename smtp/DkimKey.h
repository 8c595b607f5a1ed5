// A private key for DKIM signatures (RFC 6376): RSA of 2048 bits or more, or Ed25519 (RFC 8463), read from a
// PEM file and checked before the first message needs it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_pkey_st;

class TDkimKey {
public:
    enum class TKind { Rsa, Ed25519 };
    // The bounds RFC 8301 3.2 sets for keys that every verifier checks.
    static constexpr int MinRsaBits = 2048;
    static constexpr int MaxRsaBits = 4096;

    // Reads and checks the key; throws EDkimError with a sentence naming the file and what is wrong with it.
    explicit TDkimKey(const std::string& fileName);
    ~TDkimKey();
    TDkimKey(TDkimKey&&) noexcept;
    TDkimKey& operator=(TDkimKey&&) noexcept;

    TKind Kind() const { return FKind; }
    // The a= value of a signature: "rsa-sha256" or "ed25519-sha256".
    const char* Algorithm() const;
    // The k= and p= tags of the key's DNS record: "k=rsa; p=<base64>".
    std::string PublicKeyTags() const;
    // The signature of the canonical header data, base64. Ed25519 signs its SHA-256 (RFC 8463 3), RSA signs
    // it with PKCS#1 v1.5 over SHA-256. Throws EDkimError when OpenSSL fails.
    std::string Sign(std::string_view data) const;

private:
    // Signs a test text and verifies the signature with the key's public half.
    bool SignsVerifiably() const;

    struct TPkeyFree {
        void operator()(evp_pkey_st* key) const;
    };
    std::unique_ptr<evp_pkey_st, TPkeyFree> FKey;
    TKind FKind = TKind::Rsa;
};
