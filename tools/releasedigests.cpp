#include "tools/releasedigests.h"

#include "integrity/md5context.h"
#include "integrity/platformfile.h"
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
    Md5Context context;
    const Md5Coverage coverage = context.updateFromStream(stream, onRead);
    const auto covered = static_cast<qint64>(coverage.coveredBytes);
    if (coverage.endedAtMark)
        digest->endOfFileMark = covered;
    // Without a mark the digest reads to the end, so every byte the file system counts must have
    // come; fewer is a read that failed, more or fewer a file that changed while it was read.
    if (coverage.readFailed || (!coverage.endedAtMark && covered != digest->size)) {
        if (error)
            *error = QString("cannot read it whole: %1 of %2 bytes came; it changed while it "
                             "was read, or reading failed")
                         .arg(covered)
                         .arg(digest->size);
        return false;
    }
    digest->md5 = context.hexDigest();
    return true;
}

QString uncoveredBytesNote(const FileDigest &digest)
{
    return QString("only the first %1 of %2 bytes are covered by its digest and signature (a "
                   "0x1A byte ends the text-mode digest)")
        .arg(digest.endOfFileMark)
        .arg(digest.size);
}

std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress)
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
            if (digestFile(paths.at(i), &result.file, &result.error, onRead))
                signer.sign(result.file.md5, &result.signature, &result.error);
            // A digest that ends at a 0x1A, or a read that fails, leaves part of the file unread:
            // the count still comes to the file's size.
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
