#include "app/widget.h"
#include "integrity/platformfile.h"
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QFile>
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

    // Obsolete files go only once the first download has started: with nothing to fetch,
    // startNextDownload ends the run there and then, and a release that changed no file leaves
    // the installation as it is.
    startNextDownload();
    if (localFiles.isEmpty())
        return;

    QHash<QString, QString> listedPaths;
    listedPaths.reserve(serverFiles.size());
    for (auto server = serverFiles.constBegin(); server != serverFiles.constEnd(); ++server) {
        const QString path = localPathForName(server.key());
        listedPaths.insert(path.toCaseFolded(), path);
    }
    for (auto obsolete = localFiles.constBegin(); obsolete != localFiles.constEnd(); ++obsolete) {
        const QString path = localPathForName(obsolete.key());
        // A local manifest is as old as the last server's: its names get the same scrutiny.
        if (!unsafeNameReason(obsolete.key()).isNull() || !QFile::exists(path))
            continue;
        // On a file system that ignores case, an obsolete "Tool.dll" is the listed "tool.dll":
        // deleting it would lose the old file before its replacement has arrived.
        const auto listed = listedPaths.constFind(path.toCaseFolded());
        if (listed != listedPaths.constEnd() &&
            isSameFile(utf8Path(path), utf8Path(listed.value())))
            continue;
        QFile::remove(path);
    }
}
