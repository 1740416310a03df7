#include "app/update/replychecks.h"
#include "app/widget.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

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
        // Without an HTTP status no server answered at all.
        const bool unanswered =
            failed && !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        stopRun(unanswered ? tr("Update failed: cannot reach the server.\nCheck the network, then "
                                "start again.")
                           : tr("Update failed: bad reply from the server.\nTry again later."));
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
