#include "tools/publishercommands.h"

#include "release/filenames.h"
#include "release/manifest.h"
#include "tools/filechecks.h"
#include "tools/releasesigner.h"
#include "tools/releasetree.h"

#include <QDomDocument>
#include <QFileInfo>

namespace {

// The checks an installation makes on a downloaded file, in its order, on the published copy.
FileCheck checkListedFile(const QString &releaseDir, const QString &name,
                          const QString &unsafeReason, const ListedDigests &listed,
                          const QByteArray &publicKeyPem)
{
    if (!unsafeReason.isNull())
        return {"UNSAFE NAME", unsafeReason};
    const QString path = QDir(releaseDir).filePath(localPathForName(name));
    if (!QFileInfo(path).isFile())
        return {"MISSING", QString()};
    return checkFileContent(path, name, listed, publicKeyPem);
}

} // namespace

int runVerify(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err)
{
    const QString releaseDir = options.value("release");
    const QString keyPath = options.value("key");
    if (!QFileInfo(releaseDir).isDir())
        return refuse(err, shown(releaseDir), "no such folder");

    QString problem;
    QByteArray publicKeyPem;
    if (!loadPublicKeyText(keyPath, &publicKeyPem, &problem))
        return refuse(err, shown(keyPath), problem);

    const QString manifestPath = QDir(releaseDir).filePath("update.xml");
    QDomDocument manifest;
    if (!readManifestFile(manifestPath, &manifest, &problem))
        return refuse(err, shown(manifestPath), problem);
    const bool soundHeader = checkManifestHeader(shown(manifestPath), manifest, out, err);

    ListedDigests listed;
    const FileTable table = readListedFiles(manifest, &listed);
    const QMap<QString, QString> unsafe = unsafeNames(table);
    int failed = 0;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const FileCheck check =
            checkListedFile(releaseDir, it.key(), unsafe.value(it.key()), listed, publicKeyPem);
        writeCheckLine(out, err, it.key(), check);
        if (!check.passed())
            ++failed;
    }

    const ReleaseTree tree = walkRelease(releaseDir);
    QStringList present = tree.files.keys() + tree.problems.keys();
    present.sort();
    int unlisted = 0;
    for (const QString &name : present) {
        if (!table.contains(name)) {
            out << QString("NOT LISTED").leftJustified(15) << quoted(name) << "\n";
            ++unlisted;
        }
    }

    out << table.size() << " listed: " << table.size() - failed << " ok, " << failed << " failed; "
        << unlisted << " not listed\n";
    return soundHeader && failed == 0 ? PublisherSuccess : PublisherRefused;
}
