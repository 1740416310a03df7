#include "app/widget.h"
#include "release/manifest.h"
#include "release/version.h"
#include "transfer/replychecks.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

void Widget::requestServerManifest(const QUrl &url)
{
    if (!isRequestableAddress(url)) {
        // Nothing is sent; the run ends as for a server that cannot be reached.
        reply = nullptr;
        QMetaObject::invokeMethod(this, "httpFinished", Qt::QueuedConnection);
        return;
    }
    reply = networkManager.get(bodyRequest(url));
    connect(reply, SIGNAL(finished()), this, SLOT(httpFinished()));

    // Checked as the answer arrives, announced or received, so that memory never holds more than
    // the cap and one network read: httpFinished then finds the reply failed.
    limitReplySize(reply, maximumManifestSize, "the server's manifest exceeds the size limit");
}

void Widget::httpFinished()
{
    // An error page is no manifest, even when it happens to be well-formed XML.
    const bool failed = !reply || !replyFailure(reply).isNull();
    const QByteArray body = reply ? reply->readAll() : QByteArray();
    // A document type would bring entities, which have no place in a manifest: the stored copy
    // would keep the references without their declarations, and no later run could read it.
    if (failed || !parseManifest(serverManifest, body) ||
        !serverManifest.doctype().name().isEmpty()) {
        qDebug() << "get serverXml error.";
        // Without an HTTP status no server answered at all.
        const bool unanswered =
            failed &&
            (!reply || !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
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
