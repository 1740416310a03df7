#include "app/update/replychecks.h"
#include "app/widget.h"
#include "integrity/md5context.h"
#include "integrity/platformfile.h"
#include "integrity/signature.h"
#include "release/filenames.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

#include <string>

void Widget::downloadFinished()
{
    downloadFile->flush();
    downloadFile->close();

    const QString stagingPath = downloadFile->fileName();
    const QString targetPath = stagingPath.chopped(stagingSuffix.size());
    const QString failure = replyFailure(reply);
    reply->deleteLater();
    // The next request replaces it; until then (a run that stalls) nothing may use it.
    reply = nullptr;

    if (!failure.isNull()) {
        QFile::remove(stagingPath);
        updateIncomplete = true;
        showMessage(tr("Download failed: %1.").arg(failure));
    } else {
        // A file the manifest gives no digest for is installed as it came: the format makes the
        // digest optional, so that a release can be published without the publisher's tool.
        const auto expected = fileDigests.constFind(downloadName);
        if (expected != fileDigests.constEnd()) {
            const std::string computed = md5OfFile(utf8Path(stagingPath));
            qDebug() << stagingPath.toUtf8().constData() << computed.c_str();
            qDebug() << expected.value();
            if (QString::fromStdString(computed) != expected.value())
                endRunWithMessage(tr("Downloading ") + targetPath +
                                  tr(" failed! Check MD5 error."));
            qDebug() << QString("download " + targetPath) << " correctly.";

            const auto signature = fileSignatures.constFind(downloadName);
            if (signature != fileSignatures.constEnd()) {
                if (!checkSignature(signature.value(), expected.value()))
                    endRunWithMessage(tr("Downloading ") + targetPath +
                                      tr(" failed! Check signature error."));
                qDebug() << QString("validate " + targetPath) << " correctly.";
            }
        }
        if (!installStagedFile(stagingPath, targetPath))
            updateIncomplete = true;
    }

    downloadFile.reset();
    startNextDownload();
}

bool Widget::installStagedFile(const QString &stagingPath, const QString &targetPath)
{
    // One replace in place of remove-then-rename: the target holds its old or its new content
    // at every moment, never nothing.
    const bool hadOldFile = QFileInfo::exists(targetPath);
    std::string error;
    const bool replaced = replaceFile(utf8Path(stagingPath), utf8Path(targetPath), &error);
    qDebug() << "remove " << targetPath << (hadOldFile && replaced);
    qDebug() << "rename " << replaced;
    if (!replaced) {
        QFile::remove(stagingPath);
        showMessage(tr("Unable to install the file %1: %2.")
                        .arg(targetPath, QString::fromStdString(error)));
    }
    return replaced;
}
