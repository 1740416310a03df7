#include "tools/publishercommands.h"

#include "integrity/signature.h"
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"
#include "tools/releasedigests.h"
#include "tools/releasesigner.h"
#include "tools/releasetree.h"

#include <QDomDocument>
#include <QFileInfo>

namespace {

struct FileCheck
{
    QString status;
    QString detail;
    // Bytes of the file that its digest does not cover; the check still passes.
    QString note{};
};

// The checks an installation makes on a downloaded file, in its order, on the published copy.
FileCheck checkListedFile(const QString &releaseDir, const QString &name,
                          const QString &unsafeReason, const QMap<QString, QString> &digests,
                          const QMap<QString, QString> &signatures, const QByteArray &publicKeyPem)
{
    if (!unsafeReason.isNull())
        return {"UNSAFE NAME", unsafeReason};
    const QString path = QDir(releaseDir).filePath(localPathForName(name));
    if (!QFileInfo(path).isFile())
        return {"MISSING", QString()};
    const auto digest = digests.constFind(name);
    if (digest == digests.constEnd())
        return {"NO DIGEST", "installations would install it unchecked"};
    FileDigest file;
    QString readProblem;
    if (!digestFile(path, &file, &readProblem))
        return {"UNREADABLE", readProblem};
    const QString note = file.hasUncoveredBytes() ? uncoveredBytesNote(file) : QString();
    const QString md5 = QString::fromStdString(file.md5);
    if (md5 != digest.value())
        return {"MD5 MISMATCH", "listed " + digest.value() + ", file " + md5, note};
    const auto signature = signatures.constFind(name);
    if (signature == signatures.constEnd())
        return {"BAD SIGNATURE", "none listed", note};
    if (!checkSignatureWithKey(signature.value(), digest.value(), publicKeyPem.constData()))
        return {"BAD SIGNATURE", "it does not open to the listed digest with this key", note};
    return {"ok", QString(), note};
}

// Manifest-wide faults: an installation cannot compare a broken version, and the next run after
// an update fetches from the stored UpdateServer.
bool checkManifestHeader(const QString &manifestPath, const QDomDocument &manifest,
                         QTextStream &out, QTextStream &err)
{
    const QString version = elementText(manifest, "Version");
    const QString server = elementText(manifest, "UpdateServer");
    out << shown(manifestPath) << ": version " << version << ", server " << server << "\n";
    bool sound = true;
    QString problem = versionProblem(version);
    if (!problem.isNull()) {
        refuse(err, shown(manifestPath), "Version " + quoted(version) + ": " + problem);
        sound = false;
    }
    problem = serverAddressProblem(server);
    if (!problem.isNull()) {
        refuse(err, shown(manifestPath), "UpdateServer " + quoted(server) + ": " + problem);
        sound = false;
    } else {
        warnOfPlainHttp(err, shown(manifestPath) + ": UpdateServer " + quoted(server), server);
    }
    return sound;
}

QMap<QString, QString> unsafeNames(const FileTable &table)
{
    QMap<QString, QString> reasons;
    QStringList sound;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const QString problem = publishedNameProblem(it.key());
        if (problem.isNull())
            sound.append(it.key());
        else
            reasons.insert(it.key(), problem);
    }
    if (const auto clash = firstUnsafeName(sound))
        reasons.insert(clash->name, clash->reason);
    return reasons;
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
    const bool soundHeader = checkManifestHeader(manifestPath, manifest, out, err);

    QMap<QString, QString> digests;
    QMap<QString, QString> signatures;
    const FileTable table = readFileTable(manifest, &digests, &signatures);
    const QMap<QString, QString> unsafe = unsafeNames(table);
    int failed = 0;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const FileCheck check = checkListedFile(releaseDir, it.key(), unsafe.value(it.key()),
                                                digests, signatures, publicKeyPem);
        out << check.status.leftJustified(15) << quoted(it.key());
        if (!check.detail.isEmpty())
            out << " (" << check.detail << ")";
        out << "\n";
        if (!check.note.isEmpty())
            warn(err, it.key(), check.note);
        if (check.status != "ok")
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
