#include "releasedigests.h"

#include "md5context.h"
#include "releasesigner.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

int workerCount(int fileCount)
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, std::min({cores > 0 ? cores : 1, 16, fileCount}));
}

} // namespace

std::vector<SignedDigest> digestAndSign(const QStringList &paths, const ReleaseSigner &signer,
                                        const DigestProgress &progress)
{
    const int count = paths.size();
    std::vector<SignedDigest> results(static_cast<std::size_t>(count));
    std::vector<std::string> nativePaths;
    std::vector<qint64> sizes;
    qint64 totalBytes = 0;
    for (const QString &path : paths) {
        nativePaths.push_back(QFile::encodeName(path).toStdString());
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
            result.md5 = md5OfFile(nativePaths[static_cast<std::size_t>(i)]);
            result.signature = signer.sign(result.md5, &result.error);
            bytesDone += sizes[static_cast<std::size_t>(i)];
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
