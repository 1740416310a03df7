#include "tools/filechecks.h"

#include "integrity/signature.h"
#include "release/filenames.h"
#include "release/version.h"
#include "tools/publishercommands.h"
#include "tools/releasedigests.h"

#include <QDomDocument>
#include <QTextStream>

namespace {

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

} // namespace

FileTable readListedFiles(const QDomDocument &manifest, ListedDigests *listed)
{
    return readFileTable(manifest, &listed->md5, &listed->signatures, &listed->sha256,
                         &listed->sha256Signatures);
}

FileCheck checkFileContent(const QString &path, const QString &name, const ListedDigests &listed,
                           const QByteArray &publicKeyPem, QString *sha256)
{
    const auto digest = listed.md5.constFind(name);
    if (digest == listed.md5.constEnd())
        return {"NO DIGEST", "installations would install it unchecked"};
    FileDigest file;
    QString readProblem;
    if (!digestFile(path, &file, &readProblem))
        return {"UNREADABLE", readProblem};
    if (sha256)
        *sha256 = QString::fromStdString(file.sha256);
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

bool checkManifestHeader(const QString &subject, const QDomDocument &manifest, QTextStream &out,
                         QTextStream &err)
{
    const QString version = elementText(manifest, "Version");
    const QString server = elementText(manifest, "UpdateServer");
    out << subject << ": version " << version << ", server " << server << "\n";
    bool sound = true;
    QString problem = versionProblem(version);
    if (!problem.isNull()) {
        refuse(err, subject, "Version " + quoted(version) + ": " + problem);
        sound = false;
    }
    problem = serverAddressProblem(server);
    if (!problem.isNull()) {
        refuse(err, subject, "UpdateServer " + quoted(server) + ": " + problem);
        sound = false;
    } else {
        warnOfPlainHttp(err, subject + ": UpdateServer " + quoted(server), server);
    }
    return sound;
}

void writeCheckLine(QTextStream &out, QTextStream &err, const QString &name, const FileCheck &check)
{
    // A status of 15 characters or more keeps one blank before the name.
    out << (check.status + " ").leftJustified(15) << quoted(name);
    if (!check.detail.isEmpty())
        out << " (" << check.detail << ")";
    out << "\n";
    if (!check.note.isEmpty())
        warn(err, name, check.note);
}
