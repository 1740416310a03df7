#include "versioncheck.h"

#include "manifest.h"

#include "widget.h"

#include <QDebug>
#include <QDesktopServices>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cstdlib>

namespace {

// The server's manifest is held whole in memory to be parsed: an answer that never ends would
// take all of it. A release of 100,000 files signed with a 2048-bit key is some 45 MiB; real
// ones are a few hundred kilobytes.
constexpr qint64 maximumManifestSize = 64 * 1024 * 1024;

const char *const failureProperty = "corvantileFailure";
const char *const receivedProperty = "corvantileReceived";

int versionComponent(const QStringList &components, int position)
{
    // A release is meant to have three components; a shorter text is read as if padded with 0.
    return position < components.size() ? components.at(position).toInt() : 0;
}

} // namespace

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
    // Qt sends a request again when the connection is reset during the body, and may then report
    // success for a body that was cut short: only its stated length shows it is incomplete.
    const QVariant stated = reply->header(QNetworkRequest::ContentLengthHeader);
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

int compareVersions(QString a, QString b)
{
    if (a == b)
        return 0;
    const QStringList left = a.split('.');
    const QStringList right = b.split('.');
    for (int position = 0; position < 3; ++position) {
        const int x = versionComponent(left, position);
        const int y = versionComponent(right, position);
        if (x > y)
            return 1;
        if (x < y)
            return -1;
    }
    return 0;
}

void Widget::requestServerManifest(const QUrl &url)
{
    reply = networkManager.get(QNetworkRequest(url));
    connect(reply, SIGNAL(finished()), this, SLOT(httpFinished()));

    // Checked as the answer arrives, announced or received, so that memory never holds more than
    // the cap and one network read: httpFinished then finds the reply failed.
    QNetworkReply *manifestReply = reply;
    const auto refuseOversized = [manifestReply] {
        const QVariant announced = manifestReply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.toLongLong() > maximumManifestSize ||
            manifestReply->bytesAvailable() > maximumManifestSize)
            failReply(manifestReply, "the server's manifest exceeds the size limit");
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, refuseOversized);
    connect(reply, &QNetworkReply::readyRead, this, refuseOversized);
}

void Widget::httpFinished()
{
    // An error page is no manifest, even when it happens to be well-formed XML.
    const bool failed = !replyFailure(reply).isNull();
    const QByteArray body = reply->readAll();
    if (failed || !parseManifest(serverManifest, body)) {
        qDebug() << "get serverXml error.";
        return;
    }

    const QString serverVersion = elementText(serverManifest, "Version");
    const QString localVersion = elementText(localManifest, "Version");
    if (compareVersions(localVersion, serverVersion) != -1) {
        qDebug() << "Already newest.";
        launchTool();
    }
    planDownloads();
}

void Widget::launchTool()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile("CorvantileDevelopmentTool.exe"));
    // A run that could not install every planned file still starts the tool, but tells whoever
    // started the updater that the installation is not complete.
    std::exit(updateIncomplete ? EXIT_FAILURE : EXIT_SUCCESS);
}
