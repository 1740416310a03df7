#include "tools/releasesigner.h"

#include "integrity/pemkeys.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/evp.h>
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

PkeyPointer readPrivateKey(const QByteArray &pem, bool *askedForPassphrase)
{
    const BioPointer bio = pemBio(pem.constData(), pem.size());
    return bio ? readPrivateKeyPem(bio.get(), askedForPassphrase) : PkeyPointer();
}

PkeyPointer readPublicKey(const QByteArray &pem)
{
    const BioPointer bio = pemBio(pem.constData(), pem.size());
    return bio ? readPublicKeyPem(bio.get()) : PkeyPointer();
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

bool ReleaseSigner::sign(const std::string &digest, QString *signature, QString *error) const
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!key)
        return fail("no key loaded");
    // No signature digest is set on purpose: the block signed is the digest text itself.
    PkeyContextPointer context(EVP_PKEY_CTX_new(key.get(), nullptr));
    const auto *block = reinterpret_cast<const unsigned char *>(digest.data());
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, block, digest.size()) <= 0)
        return fail("cannot sign: " + openSslReason());
    QByteArray bytes(static_cast<int>(length), '\0');
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char *>(bytes.data()), &length,
                      block, digest.size()) <= 0)
        return fail("cannot sign: " + openSslReason());
    bytes.resize(static_cast<int>(length));
    *signature = QString::fromLatin1(bytes.toBase64());
    return true;
}

bool ReleaseSigner::opens(const QString &signature, const std::string &digest) const
{
    if (!key)
        return false;
    const QByteArray bytes = QByteArray::fromBase64(signature.toLatin1());
    const auto modulusLength = static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
    if (static_cast<std::size_t>(bytes.size()) != modulusLength)
        return false;
    PkeyContextPointer context(EVP_PKEY_CTX_new(key.get(), nullptr));
    QByteArray enclosed(static_cast<int>(modulusLength), '\0');
    std::size_t length = modulusLength;
    const bool opened =
        context && EVP_PKEY_verify_recover_init(context.get()) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_verify_recover(context.get(), reinterpret_cast<unsigned char *>(enclosed.data()),
                                &length, reinterpret_cast<const unsigned char *>(bytes.constData()),
                                modulusLength) > 0;
    ERR_clear_error();
    return opened && length == digest.size() &&
           enclosed.left(static_cast<int>(length)) == QByteArray::fromStdString(digest);
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
