#include "tools/filechecks.h"

#include "integrity/signature.h"
#include "release/filenames.h"
#include "release/version.h"
#include "tools/publishercommands.h"
#include "tools/releasedigests.h"

#include <QDomDocument>
#include <QTextStream>

#include <optional>

namespace {

// A digest and its signature as installations check them: the listed digest must be the file's,
// and the listed signature must open to it. Null when both hold.
std::optional<FileCheck> digestProblem(const QString &name, const QString &computed,
                                       const QString &listed,
                                       const QMap<QString, QString> &signatures,
                                       const QString &kind, const QByteArray &publicKeyPem,
                                       const QString &note)
{
    const QString mismatch = kind == "MD5" ? "MD5 MISMATCH" : kind + " MISMATCH";
    const QString badSignature = kind == "MD5" ? "BAD SIGNATURE" : "BAD " + kind + " SIGNATURE";
    if (computed != listed)
        return FileCheck{mismatch, "listed " + listed + ", file " + computed, note};
    const auto signature = signatures.constFind(name);
    if (signature == signatures.constEnd())
        return FileCheck{badSignature, "none listed", note};
    if (!checkSignatureWithKey(signature.value(), listed, publicKeyPem.constData()))
        return FileCheck{badSignature,
                         "it does not open to the listed " +
                             QString(kind == "MD5" ? "digest" : kind) + " with this key",
                         note};
    return std::nullopt;
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
    if (auto problem = digestProblem(name, QString::fromStdString(file.md5), digest.value(),
                                     listed.signatures, "MD5", publicKeyPem, note))
        return *problem;
    // An entry without SHA256 is checked as installations whose updater predates it check it.
    const auto sha256Digest = listed.sha256.constFind(name);
    if (sha256Digest != listed.sha256.constEnd()) {
        if (auto problem =
                digestProblem(name, QString::fromStdString(file.sha256), sha256Digest.value(),
                              listed.sha256Signatures, "SHA256", publicKeyPem, note))
            return *problem;
    }
    return {"ok", QString(), note};
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
