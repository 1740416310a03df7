#include "tools/releasedigests.h"

#include "integrity/md5context.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "release/filenames.h"
#include "tools/releasesigner.h"

#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

int workerCount(int fileCount)
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, std::min({cores > 0 ? cores : 1, 16, fileCount}));
}

// Hands the raw bytes on to the SHA-256 and tells the progress how far reading has got.
class ReadCounter : public RawBytesSink
{
public:
    ReadCounter(RawBytesSink *next, const std::function<void(std::size_t)> &onRead)
        : next(next), onRead(onRead)
    {
    }

    void consumeRaw(const unsigned char *data, std::size_t length) override
    {
        next->consumeRaw(data, length);
        if (onRead)
            onRead(length);
    }

private:
    RawBytesSink *next;
    const std::function<void(std::size_t)> &onRead;
};

// The listed signature where it opens to `digest` with the signer's key, or a new one.
bool signOrTakeOver(const ReleaseSigner &signer, const std::string &digest, const QString &listed,
                    const QString &listedSignature, QString *signature, QString *error)
{
    if (!listedSignature.isEmpty() && listed == QString::fromStdString(digest) &&
        signer.opens(listedSignature, digest)) {
        *signature = listedSignature;
        return true;
    }
    return signer.sign(digest, signature, error);
}

} // namespace

bool digestFile(const QString &path, FileDigest *digest, QString *error,
                const std::function<void(std::size_t)> &onRead)
{
    *digest = FileDigest();
    digest->size = QFileInfo(path).size();
    std::ifstream stream;
    std::string reason;
    if (!openInputFile(stream, utf8Path(path), &reason)) {
        if (error)
            *error = "cannot read it: " + QString::fromStdString(reason);
        return false;
    }
    // One read for both digests: the SHA-256 takes the raw bytes as the MD5's reads go by, and
    // the reading goes on past a 0x1A for it alone.
    Md5Context context;
    Sha256Context sha256;
    ReadCounter counter(&sha256, onRead);
    const Md5Coverage coverage = context.updateFromStream(stream, &counter);
    if (coverage.endedAtMark)
        digest->endOfFileMark = static_cast<qint64>(coverage.coveredBytes);
    // Every byte the file system counts must have come; fewer is a read that failed, more or
    // fewer a file that changed while it was read.
    const auto bytesRead = static_cast<qint64>(coverage.bytesRead);
    if (coverage.readFailed || bytesRead != digest->size) {
        if (error)
            *error = QString("cannot read it whole: %1 of %2 bytes came; it changed while it "
                             "was read, or reading failed")
                         .arg(bytesRead)
                         .arg(digest->size);
        return false;
    }
    digest->md5 = context.hexDigest();
    digest->sha256 = sha256.hexDigest();
    if (digest->sha256.empty()) {
        if (error)
            *error = "cannot compute its SHA-256";
        return false;
    }
    return true;
}

QString uncoveredBytesNote(const FileDigest &digest, bool sha256Listed)
{
    const QString note = QString("only the first %1 of %2 bytes are covered by its MD5 digest and "
                                 "signature (a 0x1A byte ends the text-mode digest)")
                             .arg(digest.endOfFileMark)
                             .arg(digest.size);
    if (!sha256Listed)
        return note + "; the manifest lists no SHA256 for it, which would cover them";
    return note + "; its SHA256 digest and signature cover every byte for updaters that check "
                  "them";
}

std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress,
                                        const std::vector<ListedSignatures> &previous)
{
    const int count = paths.size();
    std::vector<SignedDigest> results(static_cast<std::size_t>(count));
    std::vector<qint64> sizes;
    qint64 totalBytes = 0;
    for (const QString &path : paths) {
        sizes.push_back(QFileInfo(path).size());
        totalBytes += sizes.back();
    }

    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<qint64> bytesDone{0};
    std::mutex mutex;
    std::condition_variable allDone;
    auto work = [&] {
        for (int i = next++; i < count; i = next++) {
            SignedDigest &result = results[static_cast<std::size_t>(i)];
            qint64 counted = 0;
            const auto onRead = [&counted, &bytesDone](std::size_t length) {
                counted += static_cast<qint64>(length);
                bytesDone += static_cast<qint64>(length);
            };
            const ListedSignatures listed = static_cast<std::size_t>(i) < previous.size()
                                                ? previous[static_cast<std::size_t>(i)]
                                                : ListedSignatures();
            if (digestFile(paths.at(i), &result.file, &result.error, onRead) &&
                signOrTakeOver(signer, result.file.md5, listed.md5, listed.signature,
                               &result.signature, &result.error))
                signOrTakeOver(signer, result.file.sha256, listed.sha256, listed.sha256Signature,
                               &result.sha256Signature, &result.error);
            // A read that fails leaves part of the file unread: the count still comes to the
            // file's size.
            bytesDone += sizes[static_cast<std::size_t>(i)] - counted;
            if (++done == count) {
                const std::lock_guard<std::mutex> lock(mutex);
                allDone.notify_all();
            }
        }
    };

    std::vector<std::thread> workers;
    for (int i = 0; i < workerCount(count); ++i)
        workers.emplace_back(work);
    if (progress) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const bool finished = allDone.wait_for(lock, std::chrono::milliseconds(250),
                                                   [&] { return done == count; });
            progress(done, count, bytesDone, totalBytes);
            if (finished)
                break;
        }
    }
    for (std::thread &worker : workers)
        worker.join();
    return results;
}
