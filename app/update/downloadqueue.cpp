#include "app/widget.h"
#include "integrity/platformfile.h"
#include "release/filenames.h"
#include "transfer/replychecks.h"
#include "ui_widget.h"
#include "widgets/myprogressbar.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <climits>
#include <string>
#include <vector>

void Widget::startNextDownload()
{
    downloadListLog.write(downloadList);

    if (downloadList.isEmpty())
        finishUpdate();

    const QString entry = downloadList.first();
    const QUrl url(entry, QUrl::TolerantMode);
    const QString name = entry.mid(serverUrl.size() + 1);
    const QString localPath = localPathForName(name);

    // Checked again for each file: the folders may have changed since planning.
    refuseLinkOnTheWay(localPath);
    const int lastSlash = localPath.lastIndexOf('/');
    if (lastSlash >= 0) {
        const QString directory = localPath.left(lastSlash);
        // QDir::exists() is true for a file of that name too.
        if (!QFileInfo(directory).isDir()) {
            clearDroppedFilesOnTheWay(directory);
            qDebug() << QDir().mkpath(directory);
        }
    }

    // Whatever stands at the staging path is removed and the file created anew, exclusively: a
    // staging file left as a link by someone else would otherwise be written through. Unbuffered,
    // a write the disk takes only in part fails on its rest with the system's reason; a buffer's
    // flush would report such a write as an "Unknown error".
    const QString stagingPath = localPath + stagingSuffix;
    QFile::remove(stagingPath);
    downloadFile = std::make_unique<QFile>(stagingPath);
    if (!downloadFile->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        // The run stops here without an ending: nothing of this file has been fetched, the
        // installation keeps its files and the old update.xml, and the box says why. Closing the
        // window then ends the process with status 1 (updateInterrupted).
        stopRun(tr("Update failed: a file could not be saved.\nCheck the disk, then start again."));
        showMessage(
            tr("Unable to save the file %1: %2.").arg(localPath, downloadFile->errorString()));
        downloadFile.reset();
        return;
    }
    downloadName = name;

    const int position = totalFiles - downloadList.size() + 1;
    ui->tipLabel->setText(tr("Updating ") + localPath + " (" + QString::number(position) + "/" +
                          QString::number(totalFiles) + ")");

    reply = networkManager.get(bodyRequest(url));
    streamReplyInto(reply);
    connect(reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(reply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(updateDataReadProgress(qint64, qint64)));

    if (!downloadList.isEmpty())
        downloadList.removeFirst();
}

void Widget::clearDroppedFilesOnTheWay(const QString &directory)
{
    // A release that turns the file lib into a folder lib/: a file the new release drops gives
    // way, or no run could ever create the folder. Any other file there keeps its place, and the
    // staging file then cannot be created.
    QString folder;
    for (const QString &component : directory.split('/')) {
        folder += (folder.isEmpty() ? "" : "/") + component;
        if (QFileInfo(folder).isFile() && obsoleteFiles.contains(folder))
            QFile::remove(folder);
    }
}

void Widget::finishUpdate()
{
    if (!updateIncomplete) {
        deleteObsoleteFiles();
        // A power cut must not leave a durable update.xml that names files whose content never
        // reached the disk: no later run would fetch them again. One flush of the file system
        // covers every installed file.
        std::vector<std::string> paths;
        paths.reserve(static_cast<std::size_t>(installedFiles.size()));
        for (const QString &path : qAsConst(installedFiles))
            paths.push_back(utf8Path(path));
        std::string error;
        if (!syncFiles(paths, &error)) {
            qDebug() << "sync failed:" << QString::fromStdString(error);
            updateIncomplete = true;
        }
    }
    if (updateIncomplete) {
        // The installation does not hold the server's release: keep the old manifest so that the
        // next run fetches what is missing.
        qDebug() << "update incomplete, update.xml kept";
    } else {
        // A manifest that could not be stored is an update the next run does again, and no
        // success to whoever started the updater.
        if (!storeServerManifest())
            updateIncomplete = true;
        qDebug() << "Xml updated";
    }
    launchTool();
}

void Widget::downloadReadyRead()
{
    if (!downloadFile)
        return;
    const QByteArray data = readReply(reply);
    // Written through at once so that a full disk shows here, while the transfer can still be
    // failed, and not only when the staging file is closed. A staging file that misses part of the
    // body is a failed download: downloadFinished, run from inside failReply, removes it and keeps
    // the old manifest. Nothing may be touched after failReply: the next download has started.
    if (!writeBody(*downloadFile, data))
        failReply(reply, downloadFile->errorString());
}

void Widget::updateDataReadProgress(qint64 bytesRead, qint64 totalBytes)
{
    // Without a stated size (0 or -1) there is no percentage to show.
    if (totalBytes <= 0)
        return;
    const double percent = static_cast<double>(bytesRead) * 100.0 / static_cast<double>(totalBytes);
    progressBar->setValue(static_cast<int>(qBound<double>(INT_MIN, percent, INT_MAX)));
}
