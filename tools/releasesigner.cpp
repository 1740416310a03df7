#include "releasesigner.h"

#include "opensslhandles.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {

// OpenSSL's reason for the earliest error of this thread; the queue is left empty.
QString openSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromLatin1(reason) : QStringLiteral("no reason given");
}

// Without a callback OpenSSL would prompt on the terminal, which a script or a test cannot answer.
int refusePassphrase(char *, int, int, void *asked)
{
    *static_cast<bool *>(asked) = true;
    return -1;
}

bool readKeyFile(const QString &pemPath, QByteArray *pem, QString *error)
{
    QFile file(pemPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read it: " + file.errorString();
        return false;
    }
    *pem = file.readAll();
    return true;
}

BioPointer bioOver(const QByteArray &pem)
{
    return BioPointer(BIO_new_mem_buf(pem.constData(), pem.size()));
}

PkeyPointer readPrivateKey(const QByteArray &pem, bool *askedForPassphrase)
{
    BioPointer bio = bioOver(pem);
    return PkeyPointer(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, askedForPassphrase)
            : nullptr);
}

PkeyPointer readPublicKey(const QByteArray &pem)
{
    BioPointer bio = bioOver(pem);
    return PkeyPointer(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

QString notRsa(EVP_PKEY *key)
{
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)
        return QString();
    const char *type = EVP_PKEY_get0_type_name(key);
    return QString("it holds a key of type %1, not a plain RSA key; the updater checks RSA "
                   "signatures with PKCS #1 v1.5 padding")
        .arg(type ? type : "unknown");
}

} // namespace

ReleaseSigner::ReleaseSigner() = default;
ReleaseSigner::~ReleaseSigner() = default;

bool ReleaseSigner::load(const QString &pemPath, QString *error)
{
    key.reset();
    QByteArray pem;
    if (!readKeyFile(pemPath, &pem, error))
        return false;

    ERR_clear_error();
    bool askedForPassphrase = false;
    PkeyPointer privateKey = readPrivateKey(pem, &askedForPassphrase);
    if (!privateKey) {
        const QString reason = openSslReason();
        if (askedForPassphrase)
            *error = "the key is protected by a passphrase, which this tool does not ask for";
        else if (readPublicKey(pem))
            *error = "it holds a public key; signing needs the private key";
        else
            *error = "it holds no readable PEM private key (" + reason + ")";
        ERR_clear_error();
        return false;
    }
    *error = notRsa(privateKey.get());
    if (!error->isEmpty())
        return false;
    key = std::move(privateKey);
    return true;
}

int ReleaseSigner::modulusBits() const
{
    return key ? EVP_PKEY_get_bits(key.get()) : 0;
}

QString ReleaseSigner::sign(const std::string &digest, QString *error) const
{
    if (!key) {
        *error = "no key loaded";
        return QString();
    }
    // No signature digest is set on purpose: the block signed is the digest text itself.
    PkeyContextPointer context(EVP_PKEY_CTX_new(key.get(), nullptr));
    const auto *block = reinterpret_cast<const unsigned char *>(digest.data());
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, block, digest.size()) <= 0) {
        *error = "cannot sign: " + openSslReason();
        return QString();
    }
    QByteArray signature(static_cast<int>(length), '\0');
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                      block, digest.size()) <= 0) {
        *error = "cannot sign: " + openSslReason();
        return QString();
    }
    signature.resize(static_cast<int>(length));
    return QString::fromLatin1(signature.toBase64());
}

bool loadPublicKeyText(const QString &pemPath, QByteArray *pemText, QString *error)
{
    QByteArray pem;
    if (!readKeyFile(pemPath, &pem, error))
        return false;

    ERR_clear_error();
    const PkeyPointer publicKey = readPublicKey(pem);
    if (!publicKey) {
        const QString reason = openSslReason();
        bool askedForPassphrase = false;
        if (readPrivateKey(pem, &askedForPassphrase) || askedForPassphrase)
            *error = "it holds a private key; verify takes the public key the updater embeds "
                     "(openssl pkey -pubout)";
        else
            *error = "it holds no readable PEM public key (" + reason + ")";
        ERR_clear_error();
        return false;
    }
    *error = notRsa(publicKey.get());
    if (!error->isEmpty())
        return false;
    *pemText = pem;
    return true;
}
