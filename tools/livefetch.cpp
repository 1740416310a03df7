#include "tools/livefetch.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#ifndef QT_NO_SSL
#include <QSslError>
#endif

LiveBody LiveFetcher::fetch(const QUrl &url, qint64 maximumSize, const Progress &progress)
{
    LiveBody body;
    body.file = std::make_unique<QTemporaryFile>();
    if (!body.file->open()) {
        body.problem = {ReplyFault::Failed,
                        "cannot create a temporary file: " + body.file->errorString()};
        return body;
    }

    const std::unique_ptr<QNetworkReply> reply(manager.get(bodyRequest(url)));
    QNetworkReply *const current = reply.get();
    streamReplyInto(current);
    if (maximumSize >= 0)
        limitReplySize(current, maximumSize,
                       QString("the answer exceeds the size limit of %1 bytes").arg(maximumSize));
    QFile &file = *body.file;
    const auto store = [current, &file] {
        if (!writeBody(file, readReply(current)))
            failReply(current, "cannot store the body: " + file.errorString());
    };
    QObject::connect(current, &QNetworkReply::readyRead, current, store);
    if (progress)
        QObject::connect(current, &QNetworkReply::downloadProgress, current, progress);
    // Qt's error for a failed handshake says only that it failed; these say why.
    QStringList tlsErrors;
#ifndef QT_NO_SSL
    QObject::connect(current, &QNetworkReply::sslErrors, current,
                     [&tlsErrors](const QList<QSslError> &errors) {
                         for (const QSslError &error : errors)
                             tlsErrors.append(error.errorString());
                     });
#endif
    QEventLoop loop;
    QObject::connect(current, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!current->isFinished())
        loop.exec();
    // What came with the end is counted as well.
    if (current->bytesAvailable() > 0 && !writeBody(file, readReply(current)))
        failReply(current, "cannot store the body: " + file.errorString());
    if (!file.flush())
        failReply(current, "cannot store the body: " + file.errorString());
    file.close();

    body.problem = replyProblem(current);
    if (body.problem.fault == ReplyFault::Unanswered && !tlsErrors.isEmpty())
        body.problem.reason += ": " + tlsErrors.join("; ");
    body.httpStatus = current->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    body.location = QString::fromUtf8(current->rawHeader("Location"));
    body.cacheControl = current->rawHeader("Cache-Control");
    body.expires = current->rawHeader("Expires");
    body.date = current->rawHeader("Date");
    current->disconnect();
    // As in the updater: what is left of a broken answer on a kept connection would be read as
    // the answer to the next request.
    if (!body.arrived())
        manager.clearConnectionCache();
    return body;
}
