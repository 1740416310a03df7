#include "releasedigests.h"

#include "filenames.h"
#include "md5context.h"
#include "platformfile.h"
#include "releasesigner.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <streambuf>
#include <thread>

namespace {

constexpr int endOfFileMark = 0x1a;

// Stands between the file and Md5Context, which reads the stream through whatever buffer it
// holds: it hands the file's bytes on unchanged and notes how many came and where the first 0x1A
// lies. So one read of the file serves both the digest and the check of what the digest covers,
// and the digest stays the one md5OfFile computes, by the same code.
class MarkFindingBuffer : public std::streambuf
{
public:
    explicit MarkFindingBuffer(std::streambuf *file) : file(file) {}

    qint64 bytesRead() const { return total; }
    qint64 firstMark() const { return mark; }

protected:
    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        const std::streamsize got = file->sgetn(buffer.data(), std::streamsize(buffer.size()));
        if (got <= 0)
            return traits_type::eof();
        // Once the mark is found, the digest reads no further than this buffer.
        if (mark < 0) {
            if (const void *found = std::memchr(buffer.data(), endOfFileMark, std::size_t(got)))
                mark = total + (static_cast<const char *>(found) - buffer.data());
        }
        total += got;
        setg(buffer.data(), buffer.data(), buffer.data() + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    std::streambuf *file;
    // Large reads go from the file straight into this buffer, past the stream's own.
    std::array<char, 64 * 1024> buffer;
    qint64 total = 0;
    qint64 mark = -1;
};

QString openFailure(const QString &path)
{
    QFile file(path);
    return "cannot read it: " + (file.open(QIODevice::ReadOnly)
                                     ? QStringLiteral("it could not be opened")
                                     : file.errorString());
}

int workerCount(int fileCount)
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, std::min({cores > 0 ? cores : 1, 16, fileCount}));
}

} // namespace

FileDigest digestFile(const QString &path)
{
    FileDigest result;
    result.size = QFileInfo(path).size();
    std::ifstream stream;
    if (!openInputFile(stream, nativePath(path))) {
        result.error = openFailure(path);
        return result;
    }
    MarkFindingBuffer reader(stream.rdbuf());
    static_cast<std::ios &>(stream).rdbuf(&reader);
    Md5Context context;
    context.updateFromStream(stream);

    result.endOfFileMark = reader.firstMark();
    // Without a mark the digest reads to the end, so every byte the file system counts must have
    // come; fewer is a read that failed, more or fewer a file that changed while it was read.
    if (stream.bad() || (result.endOfFileMark < 0 && reader.bytesRead() != result.size)) {
        result.error = QString("cannot read it whole: %1 of %2 bytes came; it changed while it "
                               "was read, or reading failed")
                           .arg(reader.bytesRead())
                           .arg(result.size);
        return result;
    }
    result.md5 = context.hexDigest();
    return result;
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
            result.file = digestFile(paths.at(i));
            result.error = result.file.error;
            if (result.error.isEmpty())
                result.signature = signer.sign(result.file.md5, &result.error);
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
