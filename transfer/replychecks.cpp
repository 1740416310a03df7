#include "transfer/replychecks.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

namespace {

const char *const failureProperty = "corvantileFailure";
const char *const receivedProperty = "corvantileReceived";

qint64 receivedBytes(QNetworkReply *reply)
{
    return reply->property(receivedProperty).toLongLong() + reply->bytesAvailable();
}

} // namespace

bool isRequestableAddress(const QUrl &url)
{
    return url.isValid() && (url.scheme() == "http" || url.scheme() == "https");
}

QNetworkRequest bodyRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    return request;
}

ReplyProblem replyProblem(QNetworkReply *reply)
{
    const QVariant ownFailure = reply->property(failureProperty);
    if (ownFailure.isValid())
        return {ReplyFault::Failed, ownFailure.toString()};
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool statusOutsideSuccess =
        status.isValid() && (status.toInt() < 200 || status.toInt() > 299);
    if (reply->error() != QNetworkReply::NoError) {
        // With a status, a server answered; with a good one, the body is what failed.
        const ReplyFault fault = !status.isValid()      ? ReplyFault::Unanswered
                                 : statusOutsideSuccess ? ReplyFault::Status
                                                        : ReplyFault::CutShort;
        return {fault, reply->errorString()};
    }
    if (statusOutsideSuccess) {
        return {ReplyFault::Status,
                QString("HTTP status %1 %2")
                    .arg(status.toInt())
                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())};
    }
    // Asked for none, Qt hands an encoded body over as it came: its length is that of the encoded
    // bytes, and it is not the file.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return {
            ReplyFault::Encoded,
            QString("the server sent the body encoded as %1").arg(QString::fromLatin1(encoding))};
    // Qt sends a request again when the connection is reset during the body, and may then report
    // success for a body that was cut short: only its stated length shows it is incomplete. A
    // body without one cannot be told from a cut one, so it is no body.
    const QVariant stated = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!stated.isValid() || reply->hasRawHeader("Transfer-Encoding"))
        return {ReplyFault::Unframed, QString("the server did not state the length of the body")};
    const qint64 received = receivedBytes(reply);
    if (stated.toLongLong() != received)
        return {received < stated.toLongLong() ? ReplyFault::CutShort : ReplyFault::Overlong,
                QString("received %1 of %2 bytes").arg(received).arg(stated.toLongLong())};
    return {};
}

QString replyFailure(QNetworkReply *reply)
{
    return replyProblem(reply).reason;
}

QByteArray readReply(QNetworkReply *reply)
{
    const QByteArray data = reply->readAll();
    reply->setProperty(receivedProperty,
                       reply->property(receivedProperty).toLongLong() + data.size());
    return data;
}

void failReply(QNetworkReply *reply, const QString &reason)
{
    reply->setProperty(failureProperty, reason);
    reply->abort();
}

void limitReplySize(QNetworkReply *reply, qint64 maximumSize, const QString &reason)
{
    const auto refuseOversized = [reply, maximumSize, reason] {
        if (reply->property(failureProperty).isValid())
            return;
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.toLongLong() > maximumSize || receivedBytes(reply) > maximumSize)
            failReply(reply, reason);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, refuseOversized);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, refuseOversized);
}

void streamReplyInto(QNetworkReply *reply)
{
    reply->setReadBufferSize(1024 * 1024);
}

bool writeBody(QIODevice &file, const QByteArray &data)
{
    qint64 written = 0;
    while (written < data.size()) {
        const qint64 count = file.write(data.constData() + written, data.size() - written);
        if (count <= 0)
            return false;
        written += count;
    }
    return true;
}
