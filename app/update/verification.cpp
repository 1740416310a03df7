#include "filenames.h"
#include "md5context.h"
#include "platformfile.h"
#include "signature.h"
#include "versioncheck.h"
#include "widget.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

#include <cstdlib>
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
        const auto expected = fileDigests.constFind(downloadName);
        if (expected != fileDigests.constEnd()) {
            const std::string computed = md5OfFile(nativePath(stagingPath));
            qDebug() << stagingPath.toUtf8().constData() << computed.c_str();
            qDebug() << expected.value();
            if (QString::fromStdString(computed) != expected.value())
                rejectDownload(tr("Downloading ") + targetPath + tr(" failed! Check MD5 error."));
            qDebug() << QString("download " + targetPath) << " correctly.";

            const auto signature = fileSignatures.constFind(downloadName);
            if (signature != fileSignatures.constEnd()) {
                if (!checkSignature(signature.value(), expected.value()))
                    rejectDownload(tr("Downloading ") + targetPath +
                                   tr(" failed! Check signature error."));
                qDebug() << QString("validate " + targetPath) << " correctly.";
            }
        }
        if (!installStagedFile(stagingPath, targetPath))
            updateIncomplete = true;
    }

    delete downloadFile;
    downloadFile = nullptr;
    startNextDownload();
}

bool Widget::installStagedFile(const QString &stagingPath, const QString &targetPath)
{
    // One replace in place of remove-then-rename: the target holds its old or its new content
    // at every moment, never nothing.
    const bool hadOldFile = QFileInfo::exists(targetPath);
    std::string error;
    const bool replaced = replaceFile(nativePath(stagingPath), nativePath(targetPath), &error);
    qDebug() << "remove " << targetPath << (hadOldFile && replaced);
    qDebug() << "rename " << replaced;
    if (!replaced) {
        QFile::remove(stagingPath);
        showMessage(tr("Unable to install the file %1: %2.")
                        .arg(targetPath, QString::fromStdString(error)));
    }
    return replaced;
}

void Widget::rejectDownload(const QString &text)
{
    // The staging file stays for inspection; the installation keeps the files it had and the
    // old update.xml. A rejection is a failure to whoever started the updater.
    showMessage(text);
    std::exit(EXIT_FAILURE);
}
