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

// What the manifest lists for its files, as installations read it.
struct ListedDigests
{
    QMap<QString, QString> md5;
    QMap<QString, QString> signatures;
    QMap<QString, QString> sha256;
    QMap<QString, QString> sha256Signatures;
};

// The checks on the SHA256 elements, which come after the MD5 checks; an entry without SHA256 is
// checked as installations whose updater predates it check every entry.
FileCheck checkSha256(const QString &name, const FileDigest &file, const ListedDigests &listed,
                      const QByteArray &publicKeyPem, const QString &note)
{
    const auto digest = listed.sha256.constFind(name);
    if (digest == listed.sha256.constEnd())
        return {"ok", QString(), note};
    const QString sha256 = QString::fromStdString(file.sha256);
    if (sha256 != digest.value())
        return {"SHA256 MISMATCH", "listed " + digest.value() + ", file " + sha256, note};
    const auto signature = listed.sha256Signatures.constFind(name);
    if (signature == listed.sha256Signatures.constEnd())
        return {"BAD SHA256 SIGNATURE", "none listed", note};
    if (!checkSignatureWithKey(signature.value(), digest.value(), publicKeyPem.constData()))
        return {"BAD SHA256 SIGNATURE", "it does not open to the listed SHA256 with this key",
                note};
    return {"ok", QString(), note};
}

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
    const auto digest = listed.md5.constFind(name);
    if (digest == listed.md5.constEnd())
        return {"NO DIGEST", "installations would install it unchecked"};
    FileDigest file;
    QString readProblem;
    if (!digestFile(path, &file, &readProblem))
        return {"UNREADABLE", readProblem};
    const QString note = file.hasUncoveredBytes()
                             ? uncoveredBytesNote(file, listed.sha256.contains(name))
                             : QString();
    const QString md5 = QString::fromStdString(file.md5);
    if (md5 != digest.value())
        return {"MD5 MISMATCH", "listed " + digest.value() + ", file " + md5, note};
    const auto signature = listed.signatures.constFind(name);
    if (signature == listed.signatures.constEnd())
        return {"BAD SIGNATURE", "none listed", note};
    if (!checkSignatureWithKey(signature.value(), digest.value(), publicKeyPem.constData()))
        return {"BAD SIGNATURE", "it does not open to the listed digest with this key", note};
    return checkSha256(name, file, listed, publicKeyPem, note);
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

    ListedDigests listed;
    const FileTable table = readFileTable(manifest, &listed.md5, &listed.signatures, &listed.sha256,
                                          &listed.sha256Signatures);
    const QMap<QString, QString> unsafe = unsafeNames(table);
    int failed = 0;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const FileCheck check =
            checkListedFile(releaseDir, it.key(), unsafe.value(it.key()), listed, publicKeyPem);
        // A status of 15 characters or more keeps one blank before the name.
        out << (check.status + " ").leftJustified(15) << quoted(it.key());
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
