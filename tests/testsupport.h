// What the tests share: files and keys of tests/data, reference digests and signatures made apart
// from the product's code, the publisher run in-process, and std::cout captured.
#ifndef CORVANTILE_TESTSUPPORT_H
#define CORVANTILE_TESTSUPPORT_H

#include "integrity/opensslhandles.h"
#include "release/manifest.h"
#include "tools/publisher.h"

#include <QMap>
#include <QStringList>

#include <iostream>
#include <sstream>

QString testDataPath(const QString &relative);
QByteArray readTestData(const QString &relative);
// Null when the build embeds the development public key, whose private half the tests sign with;
// otherwise the one sentence a test that needs it fails with.
QString developmentKeyProblem();
// Creates the folders on the way; a file that cannot be written ends the test run.
void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path); // empty when it cannot be read
// Every file below `dir` (links followed) by its relative name, with its bytes.
QMap<QString, QByteArray> filesBelow(const QString &dir);
QString md5Of(const QByteArray &bytes);
QString sha256Of(const QByteArray &bytes);
// The reference the text-mode digest is held to: CR LF read as LF, the first 0x1A ends the file.
QString textModeMd5Of(const QByteArray &raw);
// Signing done with OpenSSL directly, so that no product signer is the judge: PKCS #1 v1.5 type 1
// padding over the text itself, no DigestInfo. Raw bytes; empty when the key cannot sign.
QByteArray signBlock(const QString &keyPath, const QByteArray &block);
// As a manifest lists it: the signature over a digest text, in Base64.
QString signDigest(const QString &digest, const QString &keyPath);
// A private key from a PEM file (a path, or relative to tests/data); null when it holds none.
PkeyPointer readPrivateKeyFile(const QString &path);
QByteArray publicKeyPemOf(evp_pkey_st *key);

struct PublisherOutcome
{
    int status = -1;
    QString out;
    QString err;
};
// One in-process run of corvantile-publish.
PublisherOutcome publish(const QStringList &arguments,
                         PublisherProgress progress = PublisherProgress::Quiet);

// Routes std::cout into a string for the lifetime of the object.
class StandardOutputCapture
{
public:
    StandardOutputCapture() : previous(std::cout.rdbuf(text.rdbuf())) {}
    ~StandardOutputCapture() { std::cout.rdbuf(previous); }
    StandardOutputCapture(const StandardOutputCapture &) = delete;
    StandardOutputCapture &operator=(const StandardOutputCapture &) = delete;
    QString captured() const { return QString::fromStdString(text.str()); }

private:
    std::ostringstream text;
    std::streambuf *previous;
};

#endif
