#include "app/widget.h"
#include "integrity/md5context.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "integrity/signature.h"
#include "release/filenames.h"
#include "transfer/replychecks.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

#include <algorithm>
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
        // What is left of a broken answer on the connection (the real answer after a 103 Early
        // Hints, the rest of a garbled chunked body) would be read as the answer to the next
        // request: the next request gets a connection of its own.
        networkManager.clearConnectionCache();
        QFile::remove(stagingPath);
        updateIncomplete = true;
        showMessage(tr("Download failed: %1.").arg(failure));
    } else {
        // A file the manifest gives no digest for is installed as it came: the format makes the
        // digest optional, so that a release can be published without the publisher's tool.
        const auto expected = fileDigests.constFind(downloadName);
        const bool listsSha256 = fileSha256Digests.contains(downloadName);
        // Where both digests are listed, one read of the file gives both.
        FileDigestTexts computed;
        if (expected != fileDigests.constEnd() && listsSha256)
            computed = md5AndSha256OfFile(utf8Path(stagingPath));
        else if (expected != fileDigests.constEnd())
            computed.md5 = md5OfFile(utf8Path(stagingPath));
        else if (listsSha256)
            computed.sha256 = sha256OfFile(utf8Path(stagingPath));

        if (expected != fileDigests.constEnd()) {
            qDebug() << stagingPath.toUtf8().constData() << computed.md5.c_str();
            qDebug() << expected.value();
            if (QString::fromStdString(computed.md5) != expected.value())
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
        if (listsSha256)
            checkSha256(targetPath, computed.sha256);
        if (!installStagedFile(stagingPath, targetPath))
            updateIncomplete = true;
    }

    downloadFile.reset();
    startNextDownload();
}

// After the MD5 checks, which stay as they were: the MD5 digest ends at a file's first 0x1A, and
// in a program file that byte comes early. Any failure here is a file that is not the one the
// publisher signed, handled as a digest mismatch.
void Widget::checkSha256(const QString &targetPath, const std::string &computed)
{
    const QString expected = fileSha256Digests.value(downloadName);
    const QString failure = tr("Downloading ") + targetPath + tr(" failed! Check SHA256 error.");
    if (QString::fromStdString(computed) != expected)
        endRunWithMessage(failure);
    qDebug() << QString("download " + targetPath) << " SHA256 correctly.";

    const auto signature = fileSha256Signatures.constFind(downloadName);
    if (signature == fileSha256Signatures.constEnd())
        return;
    if (!checkSignature(signature.value(), expected))
        endRunWithMessage(failure);
    qDebug() << QString("validate " + targetPath) << " SHA256 correctly.";
}

bool Widget::installStagedFile(const QString &stagingPath, const QString &targetPath)
{
    refuseLinkOnTheWay(targetPath);
    if (QFileInfo(targetPath).isDir() && !isLink(utf8Path(targetPath)))
        clearDroppedFolder(targetPath);

    // One replace in place of remove-then-rename: the target holds its old or its new content
    // at every moment, never nothing.
    const bool hadOldFile = QFileInfo::exists(targetPath);
    std::string error;
    const bool replaced = replaceFile(utf8Path(stagingPath), utf8Path(targetPath), &error);
    if (replaced)
        installedFiles.append(targetPath);
    qDebug() << "remove " << targetPath << (hadOldFile && replaced);
    qDebug() << "rename " << replaced;
    if (!replaced) {
        QFile::remove(stagingPath);
        showMessage(tr("Unable to install the file %1: %2.")
                        .arg(targetPath, QString::fromStdString(error)));
    }
    return replaced;
}

bool Widget::clearDroppedFolder(const QString &folder)
{
    // A release that turns the folder lib/ into a file lib: the folder must give way, or no run
    // could ever install lib. It does so only when all it holds are files the new release drops,
    // which would be deleted at the end anyway; anything else in it (a file of the user's, a link)
    // keeps it, and the install fails as before.
    QStringList files;
    QStringList folders{folder};
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (isLink(utf8Path(path)))
            return false;
        if (it.fileInfo().isDir())
            folders.append(path);
        else if (obsoleteFiles.contains(path))
            files.append(path);
        else
            return false;
    }
    for (const QString &file : qAsConst(files)) {
        if (!QFile::remove(file))
            return false;
    }
    // Deepest first: a folder is removed only once it is empty.
    std::sort(folders.begin(), folders.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &path : qAsConst(folders)) {
        if (!QDir().rmdir(path))
            return false;
    }
    return true;
}
