#ifndef CORVANTILE_TOOLS_RELEASEDIGESTS_H
#define CORVANTILE_TOOLS_RELEASEDIGESTS_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

class ReleaseSigner;

// A file read once: its text-mode MD5 as installations compute it (md5OfFile), how much of the
// file that digest covers, and the SHA-256 of all its bytes (sha256OfFile).
struct FileDigest
{
    std::string md5;
    std::string sha256;
    qint64 size = 0;
    // Offset of the first byte 0x1A, where the digest stops reading; -1 when the file holds none.
    qint64 endOfFileMark = -1;

    // Bytes follow the 0x1A that ends the MD5 digest: neither it nor its signature sees them.
    bool hasUncoveredBytes() const { return endOfFileMark >= 0 && endOfFileMark + 1 < size; }
};

// Reads and hashes one file. A file that cannot be opened, or whose bytes do not come to the size
// the file system gave, has no digest: md5OfFile would give the digest of what it got, the empty
// input's for a file it could not open, and that is not the file's.
// `onRead` is told the size of every read as it comes.
bool digestFile(const QString &path, FileDigest *digest, QString *error = nullptr,
                const std::function<void(std::size_t)> &onRead = nullptr);

// What the publisher is told about a file whose MD5 digest does not cover it whole; whether the
// manifest lists its SHA-256, which does, decides how much that matters.
QString uncoveredBytesNote(const FileDigest &digest, bool sha256Listed);

struct SignedDigest
{
    FileDigest file;
    QString signature;
    QString sha256Signature;
    // Why the file could not be read or signed; null when it was.
    QString error;
};

// What the previous release lists for a file: its digests and their signatures. Empty texts
// where it lists none.
struct ListedSignatures
{
    QString md5;
    QString signature;
    QString sha256;
    QString sha256Signature;
};

// Called on the calling thread a few times a second while files are hashed, and once at the end.
// The bytes advance as files are read, within a large file too.
using DigestProgress =
    std::function<void(int filesDone, int fileCount, qint64 bytesDone, qint64 bytesTotal)>;

// The digests (digestFile) and the signatures of both of every file, in the order of `paths`.
// Files are shared out over all cores: each is read and hashed on its own, and signing a digest
// costs as much as hashing a small file. `previous`, when given, holds what the previous release
// lists for each path, in the same order: a listed signature is taken over where it opens with
// the signer's key to the digest the file has now, which costs far less than signing again.
std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress = DigestProgress(),
                                        const std::vector<ListedSignatures> &previous = {});

#endif // CORVANTILE_TOOLS_RELEASEDIGESTS_H
