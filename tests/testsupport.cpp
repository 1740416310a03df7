#include "tests/testsupport.h"

#include "integrity/pemkeys.h"
#include "integrity/signature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QTextStream>

#include <openssl/evp.h>
#include <openssl/rsa.h>

QString testDataPath(const QString &relative)
{
    return QStringLiteral(CORVANTILE_TEST_DATA_DIR "/") + relative;
}

QByteArray readTestData(const QString &relative)
{
    return readFile(testDataPath(relative));
}

QString developmentKeyProblem()
{
    return QByteArray(publicKeyPem) == readTestData("keys/dev_public.pem")
               ? QString()
               : "this build embeds another public key than the development key; configure it "
                 "with -DCORVANTILE_PUBLIC_KEY=" +
                     testDataPath("keys/dev_public.pem") + " (scripts/test does)";
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QByteArray> filesBelow(const QString &dir)
{
    QMap<QString, QByteArray> files;
    for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readFile(path));
    }
    return files;
}

QString md5Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

QString sha256Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QString textModeMd5Of(const QByteArray &raw)
{
    const int mark = raw.indexOf('\x1a');
    return md5Of(raw.left(mark < 0 ? raw.size() : mark).replace("\r\n", "\n"));
}

QByteArray signBlock(const QString &keyPath, const QByteArray &block)
{
    const PkeyPointer key = readPrivateKeyFile(keyPath);
    PkeyContextPointer context(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    std::size_t length = key ? static_cast<std::size_t>(EVP_PKEY_get_size(key.get())) : 0;
    QByteArray signature(static_cast<int>(length), '\0');
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                      reinterpret_cast<const unsigned char *>(block.data()), block.size()) <= 0)
        return QByteArray();
    return signature.left(static_cast<int>(length));
}

QString signDigest(const QString &digest, const QString &keyPath)
{
    return signBlock(keyPath, digest.toLatin1()).toBase64();
}

PkeyPointer readPrivateKeyFile(const QString &path)
{
    const QByteArray pem = QFile::exists(path) ? readFile(path) : readTestData(path);
    const BioPointer bio = pemBio(pem.constData(), pem.size());
    return bio ? readPrivateKeyPem(bio.get()) : PkeyPointer();
}

PublisherOutcome publish(const QStringList &arguments, PublisherProgress progress)
{
    PublisherOutcome outcome;
    QTextStream out(&outcome.out), err(&outcome.err);
    outcome.status = runPublisher(arguments, out, err, progress);
    out.flush();
    err.flush();
    return outcome;
}
