#ifndef CORVANTILE_TOOLS_LIVEFETCH_H
#define CORVANTILE_TOOLS_LIVEFETCH_H

#include "transfer/replychecks.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QString>
#include <QTemporaryFile>
#include <QUrl>

#include <functional>
#include <memory>

// One answer of a release server, fetched as installations fetch it.
struct LiveBody
{
    // What replyProblem found; a body that came whole has none.
    ReplyProblem problem;
    // 0 when no server answered.
    int httpStatus = 0;
    // The headers a publisher is told about: where a redirect points, and how long caches may
    // keep the answer.
    QString location;
    QByteArray cacheControl;
    QByteArray expires;
    QByteArray date;
    // The body as it arrived, whole when `problem` is None; closed, so that it is read by name.
    std::unique_ptr<QTemporaryFile> file;

    bool arrived() const { return problem.fault == ReplyFault::None; }
};

// Fetches release addresses one at a time with the updater's request and reply rules
// (transfer/replychecks.h), through one QNetworkAccessManager whose connections are kept, as the
// updater's are. The command is synchronous: each fetch runs a local event loop until its reply
// has finished.
class LiveFetcher
{
public:
    // Told the bytes received so far and the stated total (-1 when none is stated).
    using Progress = std::function<void(qint64 received, qint64 total)>;

    // Each body is streamed into a temporary file through a bounded read buffer as it arrives,
    // so memory never holds a whole body. A `maximumSize` of -1 sets no limit; a larger answer
    // ends as failReply ends it.
    LiveBody fetch(const QUrl &url, qint64 maximumSize = -1, const Progress &progress = Progress());

private:
    QNetworkAccessManager manager;
};

#endif // CORVANTILE_TOOLS_LIVEFETCH_H
