#ifndef CORVANTILE_TOOLS_RELEASEDIGESTS_H
#define CORVANTILE_TOOLS_RELEASEDIGESTS_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

class ReleaseSigner;

// A file read once: its text-mode MD5 as installations compute it (md5OfFile), and how much of
// the file that digest covers.
struct FileDigest
{
    std::string md5;
    qint64 size = 0;
    // Offset of the first byte 0x1A, where the digest stops reading; -1 when the file holds none.
    qint64 endOfFileMark = -1;

    // Bytes follow the 0x1A that ends the digest: neither the digest nor the signature sees them.
    bool hasUncoveredBytes() const { return endOfFileMark >= 0 && endOfFileMark + 1 < size; }
};

// Reads and hashes one file. A file that cannot be opened, or whose bytes do not come to the size
// the file system gave, has no digest: md5OfFile would give the digest of what it got, the empty
// input's for a file it could not open, and that is not the file's.
// `onRead` is told the size of every read as it comes.
bool digestFile(const QString &path, FileDigest *digest, QString *error = nullptr,
                const std::function<void(std::size_t)> &onRead = nullptr);

// What the publisher is told about a file whose digest does not cover it whole.
QString uncoveredBytesNote(const FileDigest &digest);

struct SignedDigest
{
    FileDigest file;
    QString signature;
    // Why the file could not be read or signed; null when it was.
    QString error;
};

// Called on the calling thread a few times a second while files are hashed, and once at the end.
// The bytes advance as files are read, within a large file too.
using DigestProgress =
    std::function<void(int filesDone, int fileCount, qint64 bytesDone, qint64 bytesTotal)>;

// The digest (digestFile) and the signature of every file, in the order of `paths`. Files are
// shared out over all cores: each is read and hashed on its own, and signing a digest costs as
// much as hashing a small file.
std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress = DigestProgress());

#endif // CORVANTILE_TOOLS_RELEASEDIGESTS_H
