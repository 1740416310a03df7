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

int versionComponent(const QStringList &components, int position)
{
    // A release is meant to have three components; a shorter text is read as if padded with 0.
    return position < components.size() ? components.at(position).toInt() : 0;
}

} // namespace

QString replyFailure(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        return QString("HTTP status %1 %2")
            .arg(status.toInt())
            .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }
    return QString();
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
}

void Widget::httpFinished()
{
    // An error page is no manifest, even when it happens to be well-formed XML.
    const bool failed = !replyFailure(reply).isNull();
    const QByteArray body = reply->readAll();
    if (failed || !serverManifest.setContent(body)) {
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
