#include "app/update/replychecks.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

namespace {

const char *const failureProperty = "corvantileFailure";
const char *const receivedProperty = "corvantileReceived";

} // namespace

bool isRequestableAddress(const QUrl &url)
{
    return url.isValid() && (url.scheme() == "http" || url.scheme() == "https");
}

QNetworkRequest bodyRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

QString replyFailure(QNetworkReply *reply)
{
    const QVariant ownFailure = reply->property(failureProperty);
    if (ownFailure.isValid())
        return ownFailure.toString();
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        return QString("HTTP status %1 %2")
            .arg(status.toInt())
            .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }
    // Asked for none, Qt hands an encoded body over as it came: its length is that of the encoded
    // bytes, and it is not the file.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return QString("the server sent the body encoded as %1").arg(QString::fromLatin1(encoding));
    // Qt sends a request again when the connection is reset during the body, and may then report
    // success for a body that was cut short: only its stated length shows it is incomplete. A
    // body without one cannot be told from a cut one, so it is no body.
    const QVariant stated = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!stated.isValid() || reply->hasRawHeader("Transfer-Encoding"))
        return QString("the server did not state the length of the body");
    const qint64 received =
        reply->property(receivedProperty).toLongLong() + reply->bytesAvailable();
    if (stated.isValid() && stated.toLongLong() != received)
        return QString("received %1 of %2 bytes").arg(received).arg(stated.toLongLong());
    return QString();
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
