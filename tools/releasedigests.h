#ifndef CORVANTILE_TOOLS_RELEASEDIGESTS_H
#define CORVANTILE_TOOLS_RELEASEDIGESTS_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

class ReleaseSigner;

struct SignedDigest
{
    std::string md5;
    QString signature;
    // Why the file could not be signed; empty when it was.
    QString error;
};

// Called on the calling thread a few times a second while files are hashed, and once at the end.
using DigestProgress =
    std::function<void(int filesDone, int fileCount, qint64 bytesDone, qint64 bytesTotal)>;

// The text-mode MD5 (md5OfFile, as installations compute it) and the signature of every file,
// in the order of `paths`. Files are shared out over all cores: each is read and hashed on its
// own, and signing a digest costs as much as hashing a small file.
std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress = DigestProgress());

#endif // CORVANTILE_TOOLS_RELEASEDIGESTS_H
