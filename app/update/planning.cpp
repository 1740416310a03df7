#include "app/widget.h"
#include "integrity/platformfile.h"
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

void Widget::planDownloads()
{
    // The local manifest's digests describe the installed files, not the new ones: a download is
    // checked only against what the server's manifest gives for it.
    FileTable localFiles = readFileTable(localManifest, nullptr, nullptr);
    const FileTable serverFiles = parseFileTable(serverManifest);

    // Nothing has been deleted or downloaded yet; the installation stays as it is.
    if (const auto unsafe = firstUnsafeName(serverFiles.keys()))
        endRunWithMessage(tr("Update refused: the server's manifest names the unsafe file \"%1\".")
                              .arg(unsafe->name));

    for (auto server = serverFiles.constBegin(); server != serverFiles.constEnd(); ++server) {
        const auto local = localFiles.find(server.key());
        if (local == localFiles.end()) {
            downloadList.append(serverUrl + "/" + server.key());
            continue;
        }
        if (compareVersions(local.value(), server.value()) == -1)
            downloadList.append(serverUrl + "/" + server.key());
        localFiles.erase(local);
    }
    totalFiles = downloadList.size();
    downloadListLog.plan(downloadList);

    // Obsolete files go only once every planned file is installed (deleteObsoleteFiles): an
    // update that stops half way must leave the files the old release needs. A plan without files
    // deletes nothing: a release that changed no file leaves the installation as it is.
    for (auto obsolete = localFiles.constBegin(); obsolete != localFiles.constEnd(); ++obsolete) {
        // A local manifest is as old as the last server's: its names get the same scrutiny.
        if (totalFiles > 0 && unsafeNameReason(obsolete.key()).isNull())
            obsoleteFiles.insert(localPathForName(obsolete.key()));
    }

    // Refused before anything is fetched, replaced or deleted.
    for (const QString &entry : qAsConst(downloadList))
        refuseLinkOnTheWay(localPathForName(entry.mid(serverUrl.size() + 1)));
    for (const QString &path : qAsConst(obsoleteFiles))
        refuseLinkOnTheWay(path);

    startNextDownload();
}

void Widget::refuseLinkOnTheWay(const QString &localPath)
{
    // The installation folder is often writable by users who are not administrators: a folder
    // of it made a link or junction would take the updater's writes anywhere on the machine.
    const std::optional<std::string> link = linkOnTheWay(utf8Path(localPath));
    if (link)
        endRunWithMessage(
            tr("Update refused: the file \"%1\" lies behind the link or junction \"%2\".")
                .arg(localPath, QString::fromStdString(*link)));
}

void Widget::deleteObsoleteFiles()
{
    if (obsoleteFiles.isEmpty())
        return;
    QHash<QString, QString> listedPaths;
    const FileTable serverFiles = readFileTable(serverManifest, nullptr, nullptr);
    listedPaths.reserve(serverFiles.size());
    for (auto server = serverFiles.constBegin(); server != serverFiles.constEnd(); ++server) {
        const QString path = localPathForName(server.key());
        listedPaths.insert(path.toCaseFolded(), path);
    }
    for (const QString &path : qAsConst(obsoleteFiles)) {
        refuseLinkOnTheWay(path);
        if (!QFileInfo(path).isFile())
            continue;
        // On a file system that ignores case, an obsolete "Tool.dll" is the listed "tool.dll":
        // deleting it would lose the file just installed.
        const auto listed = listedPaths.constFind(path.toCaseFolded());
        if (listed != listedPaths.constEnd() &&
            isSameFile(utf8Path(path), utf8Path(listed.value())))
            continue;
        QFile::remove(path);
    }
}
