// What the tests share: files and keys of tests/data, reference digests and signatures made apart
// from the product's code, the publisher run in-process, and std::cout captured.
#ifndef CORVANTILE_TESTSUPPORT_H
#define CORVANTILE_TESTSUPPORT_H

#include "integrity/opensslhandles.h"
#include "release/manifest.h"
#include "tools/publisher.h"

#include <iostream>
#include <sstream>

QString testDataPath(const QString &relative);
QByteArray readTestData(const QString &relative);
// Null when the build embeds the development public key (the tests sign with its private half).
QString developmentKeyProblem();
void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path); // empty when it cannot be read
QMap<QString, QByteArray> filesBelow(const QString &dir);
QString md5Of(const QByteArray &bytes);
QString sha256Of(const QByteArray &bytes);
// The reference the text-mode digest is held to: CR LF read as LF, the first 0x1A ends the file.
QString textModeMd5Of(const QByteArray &raw);
// Signing done with OpenSSL directly, so that no product signer is the judge: PKCS #1 v1.5 type 1
// padding over the text itself, no DigestInfo. Raw bytes; empty when the key cannot sign.
QByteArray signBlock(const QString &keyPath, const QByteArray &block);
QString signDigest(const QString &digest, const QString &keyPath);
// By path or relative to tests/data; null when the file holds no private key.
PkeyPointer readPrivateKeyFile(const QString &path);

// One in-process run of corvantile-publish.
struct PublisherOutcome
{
    int status = -1;
    QString out, err;
};
PublisherOutcome publish(const QStringList &arguments,
                         PublisherProgress progress = PublisherProgress::Quiet);

// Routes std::cout into a string for the lifetime of the object.
struct StandardOutputCapture
{
    std::ostringstream text;
    std::streambuf *previous = std::cout.rdbuf(text.rdbuf());
    ~StandardOutputCapture() { std::cout.rdbuf(previous); }
    QString captured() const { return QString::fromStdString(text.str()); }
};

#endif
