#include "filenames.h"
#include "manifest.h"
#include "platformfile.h"
#include "versioncheck.h"
#include "widget.h"

#include <QFile>
#include <QHash>
#include <QMessageBox>

#include <cstdlib>

void Widget::planDownloads()
{
    // The local manifest's digests describe the installed files, not the new ones: a download is
    // checked only against what the server's manifest gives for it.
    FileTable localFiles = readFileTable(localManifest, nullptr, nullptr);
    const FileTable serverFiles = parseFileTable(serverManifest);

    if (const auto unsafeName = firstUnsafeName(serverFiles.keys())) {
        // Nothing has been deleted or downloaded yet; the installation stays as it is.
        showMessage(tr("Update refused: the server's manifest names the unsafe file \"%1\".")
                        .arg(*unsafeName));
        std::exit(EXIT_FAILURE);
    }

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
        if (!isSafeFileName(obsolete.key()) || !QFile::exists(path))
            continue;
        // On a file system that ignores case, an obsolete "Tool.dll" is the listed "tool.dll":
        // deleting it would lose the old file before its replacement has arrived.
        const auto listed = listedPaths.constFind(path.toCaseFolded());
        if (listed != listedPaths.constEnd() &&
            isSameFile(nativePath(path), nativePath(listed.value())))
            continue;
        QFile::remove(path);
    }
}

void Widget::showMessage(const QString &text)
{
    QMessageBox::information(this, "CorvantileUpdate", text);
}
