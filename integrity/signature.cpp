#include "integrity/signature.h"

#include "integrity/opensslhandles.h"
#include "integrity/pemkeys.h"

#include <QByteArray>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

DecryptedBlock zeroedBuffer(std::size_t size)
{
    return std::make_unique<unsigned char[]>(size);
}

void reportUnreadableKey()
{
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    char reason[512];
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    std::cout << "load public key failed[" << reason << "]" << std::endl;
}

// The public-key operation with PKCS #1 v1.5 type 1 padding and no digest algorithm: the block the
// publisher enclosed is the digest text itself, not a DigestInfo. Returns the recovered length or
// -1.
int recoverBlock(EVP_PKEY *key, const unsigned char *signature, std::size_t modulusLength,
                 unsigned char *out)
{
    PkeyContextPointer context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_verify_recover_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0)
        return -1;
    std::size_t outLength = modulusLength;
    if (EVP_PKEY_verify_recover(context.get(), out, &outLength, signature, modulusLength) <= 0 ||
        outLength > modulusLength)
        return -1;
    return static_cast<int>(outLength);
}

// What publicKey_decrypt does once it holds a key, without a word on standard output: the buffer
// and the length as publicKey_decrypt documents them.
DecryptedBlock recoverWithKey(EVP_PKEY *key, const unsigned char *signature, int signatureLength,
                              int *decryptedLength)
{
    *decryptedLength = -1;
    const int modulusLength = EVP_PKEY_get_size(key);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || modulusLength <= 0)
        return zeroedBuffer(1);

    const std::size_t k = static_cast<std::size_t>(modulusLength);
    DecryptedBlock out = zeroedBuffer(k + 1);
    // The operation consumes exactly k bytes; a shorter signature cannot be valid and must not be
    // read past its end.
    if (!signature || signatureLength < modulusLength)
        return out;

    *decryptedLength = recoverBlock(key, signature, k, out.get());
    if (*decryptedLength < 0) {
        // Callers read a failed result up to its first zero byte, so nothing may be left behind.
        std::memset(out.get(), 0, k + 1);
        ERR_clear_error();
    }
    return out;
}

// Reading a PEM key through OpenSSL 3's decoders costs far more than the RSA operation itself, and
// an update checks one signature per file against the same key. The last key read is kept, per
// thread, for as long as the same PEM text is asked for; a text that yields no key is read (and
// reported) anew every time.
EVP_PKEY *readPublicKey(const char *pemText)
{
    struct CachedKey
    {
        std::string pem;
        PkeyPointer key;
    };
    thread_local CachedKey cached;
    if (cached.key && cached.pem == pemText)
        return cached.key.get();

    const BioPointer bio = pemBio(pemText, -1);
    if (!bio)
        std::cout << "BIO_new_mem_buf failed!" << std::endl;
    PkeyPointer key = bio ? readPublicKeyPem(bio.get()) : PkeyPointer();
    if (!key)
        return nullptr;
    cached.pem = pemText;
    cached.key = std::move(key);
    return cached.key.get();
}

QByteArray decodedSignature(const QString &signatureText)
{
    return QByteArray::fromBase64(signatureText.toLatin1());
}

// A failed recovery is read up to its first zero byte, which leaves it empty.
bool enclosesDigest(const unsigned char *decrypted, int decryptedLength,
                    const QString &expectedDigest)
{
    const char *text = reinterpret_cast<const char *>(decrypted);
    const QByteArray enclosed =
        decryptedLength >= 0 ? QByteArray(text, decryptedLength) : QByteArray(text);
    return enclosed == expectedDigest.toLatin1();
}

} // namespace

DecryptedBlock publicKey_decrypt(const unsigned char *signature, int signatureLength,
                                 const char *pemText, int *decryptedLength)
{
    *decryptedLength = -1;
    // Only errors of this call may be reported as the reason a key could not be read.
    ERR_clear_error();

    EVP_PKEY *key = readPublicKey(pemText);
    std::cout << "publicKey_decrypt " << static_cast<const void *>(key);
    if (!key) {
        reportUnreadableKey();
        ERR_clear_error();
        return zeroedBuffer(1);
    }
    return recoverWithKey(key, signature, signatureLength, decryptedLength);
}

bool checkSignature(const QString &signatureText, const QString &expectedDigest)
{
    // The updater's own check goes through publicKey_decrypt and keeps its lines on standard
    // output.
    const QByteArray signature = decodedSignature(signatureText);
    int decryptedLength = -1;
    const DecryptedBlock decrypted =
        publicKey_decrypt(reinterpret_cast<const unsigned char *>(signature.constData()),
                          signature.size(), publicKeyPem, &decryptedLength);
    return enclosesDigest(decrypted.get(), decryptedLength, expectedDigest);
}

bool checkSignatureWithKey(const QString &signatureText, const QString &expectedDigest,
                           const char *pemText)
{
    const QByteArray signature = decodedSignature(signatureText);
    ERR_clear_error();
    EVP_PKEY *key = readPublicKey(pemText);
    if (!key) {
        ERR_clear_error();
        return false;
    }
    int decryptedLength = -1;
    const DecryptedBlock decrypted =
        recoverWithKey(key, reinterpret_cast<const unsigned char *>(signature.constData()),
                       signature.size(), &decryptedLength);
    return enclosesDigest(decrypted.get(), decryptedLength, expectedDigest);
}
