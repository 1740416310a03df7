#include "tools/publishercommands.h"

#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"
#include "tools/releasedigests.h"
#include "tools/releasesigner.h"
#include "tools/releasetree.h"

#include <QDomDocument>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

namespace {

QString count(qint64 number, const QString &singular, const QString &plural)
{
    return QString::number(number) + " " + (number == 1 ? singular : plural);
}

QString mebibytes(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1 << 20), 'f', 1);
}

DigestProgress progressOn(QTextStream &err)
{
    return [&err](int filesDone, int fileCount, qint64 bytesDone, qint64 bytesTotal) {
        err << "\rhashing and signing: " << filesDone << " of " << count(fileCount, "file", "files")
            << ", " << mebibytes(bytesDone) << " of " << mebibytes(bytesTotal) << " MiB";
        if (filesDone == fileCount)
            err << "\n";
        err.flush();
    };
}

struct PreviousRelease
{
    bool given = false;
    QString version;
    FileTable files;
    QMap<QString, QString> digests;
    QMap<QString, QString> signatures;
    QMap<QString, QString> sha256Digests;
    QMap<QString, QString> sha256Signatures;

    // What it lists for each of `names`, in their order.
    std::vector<ListedSignatures> listedFor(const QStringList &names) const
    {
        std::vector<ListedSignatures> listed;
        listed.reserve(static_cast<std::size_t>(names.size()));
        for (const QString &name : names)
            listed.push_back({digests.value(name), signatures.value(name),
                              sha256Digests.value(name), sha256Signatures.value(name)});
        return listed;
    }
};

int readPrevious(const QString &path, const QString &version, PreviousRelease *previous,
                 QTextStream &err)
{
    QDomDocument document;
    QString problem;
    if (!readManifestFile(path, &document, &problem))
        return refuse(err, shown(path), problem);
    previous->given = true;
    previous->version = elementText(document, "Version");
    if (compareVersions(version, previous->version) != 1)
        return refuse(err, "--version " + version,
                      "it is not newer than " + quoted(previous->version) + ", the version of " +
                          shown(path));
    previous->files = readFileTable(document, &previous->digests, &previous->signatures,
                                    &previous->sha256Digests, &previous->sha256Signatures);
    return PublisherSuccess;
}

int refuseTreeProblems(const QString &releaseDir, const ReleaseTree &tree, QTextStream &err)
{
    for (auto it = tree.problems.constBegin(); it != tree.problems.constEnd(); ++it)
        refuse(err, shownInRelease(releaseDir, it.key()), it.value());
    if (!tree.problems.isEmpty())
        return PublisherRefused;
    if (const auto clash = firstUnsafeName(tree.files.keys()))
        return refuse(err, shownInRelease(releaseDir, clash->name), clash->reason);
    return PublisherSuccess;
}

// A file keeps its previous file version only while its bytes are the ones installations have.
// The MD5 digest alone cannot tell: it misses a change after the first 0x1A and CR LF in place of
// LF. So the SHA-256 decides, and a file the previous manifest lists without one counts as
// changed.
QString fileVersionFor(const QString &name, const FileDigest &digest, const QString &version,
                       const PreviousRelease &previous)
{
    const auto before = previous.files.constFind(name);
    if (before == previous.files.constEnd() ||
        previous.digests.value(name) != QString::fromStdString(digest.md5) ||
        previous.sha256Digests.value(name) != QString::fromStdString(digest.sha256) ||
        !versionProblem(before.value()).isNull())
        return version;
    return before.value();
}

// Installations would fetch nothing and delete nothing, and still take the release for a newer
// one: more often a release folder that was not updated than a release meant that way.
bool nothingChanged(const QList<ManifestEntry> &entries, const QString &version,
                    const PreviousRelease &previous)
{
    if (entries.size() != previous.files.size())
        return false;
    for (const ManifestEntry &entry : entries) {
        if (!previous.files.contains(entry.name) || entry.version == version)
            return false;
    }
    return true;
}

void reportChanges(const QList<ManifestEntry> &entries, const QString &version,
                   const PreviousRelease &previous, QTextStream &out)
{
    QSet<QString> published;
    int added = 0;
    int changed = 0;
    for (const ManifestEntry &entry : entries) {
        published.insert(entry.name);
        if (!previous.files.contains(entry.name)) {
            out << "new      " << entry.name << "\n";
            ++added;
        } else if (entry.version == version) {
            out << "changed  " << entry.name << "\n";
            ++changed;
        }
    }
    int dropped = 0;
    for (auto it = previous.files.constBegin(); it != previous.files.constEnd(); ++it) {
        if (!published.contains(it.key())) {
            out << "dropped  " << it.key() << "\n";
            ++dropped;
        }
    }
    out << added << " new, " << changed << " changed, " << entries.size() - added - changed
        << " unchanged, " << dropped << " dropped since " << previous.version << "\n";
}

// The MD5 digest stops at the first 0x1A, as Windows text mode does; in a DLL that byte comes
// early. The SHA256 element covers the rest, but only for updaters that know it: the publisher
// must know which files older installations check only in part.
void warnOfUncoveredBytes(const QStringList &names, const std::vector<SignedDigest> &digests,
                          QTextStream &err)
{
    bool warned = false;
    for (int i = 0; i < names.size(); ++i) {
        const FileDigest &file = digests[static_cast<std::size_t>(i)].file;
        if (file.hasUncoveredBytes()) {
            warn(err, names.at(i), uncoveredBytesNote(file, true));
            warned = true;
        }
    }
    if (warned)
        err << publisherName
            << ": hint: installations whose updater predates SHA256 cannot tell if those bytes "
               "were changed on the way; serve the release over HTTPS so that nobody between the "
               "server and them can change them\n";
}

} // namespace

int runMake(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err,
            PublisherProgress progress)
{
    const QString releaseDir = options.value("release");
    const QString server = options.value("server");
    const QString version = options.value("version");
    const QString keyPath = options.value("key");
    const QString outputPath = options.value("output", QDir(releaseDir).filePath("update.xml"));

    QString problem = versionProblem(version);
    if (!problem.isNull())
        return refuse(err, "--version " + version, problem);
    problem = serverAddressProblem(server);
    if (!problem.isNull())
        return refuse(err, "--server " + server, problem);
    if (!QFileInfo(releaseDir).isDir())
        return refuse(err, shown(releaseDir), "no such folder");

    PreviousRelease previous;
    if (options.contains("previous")) {
        const int status = readPrevious(options.value("previous"), version, &previous, err);
        if (status != PublisherSuccess)
            return status;
    }

    // One key for the whole run: reading and checking it per file would cost more than hashing
    // a small file.
    ReleaseSigner signer;
    if (!signer.load(keyPath, &problem))
        return refuse(err, shown(keyPath), problem);

    const ReleaseTree tree = walkRelease(releaseDir, outputPath);
    for (auto it = tree.leftOut.constBegin(); it != tree.leftOut.constEnd(); ++it)
        err << publisherName << ": note: left out " << shownInRelease(releaseDir, it.key()) << ": "
            << it.value() << "\n";
    const int treeStatus = refuseTreeProblems(releaseDir, tree, err);
    if (treeStatus != PublisherSuccess)
        return treeStatus;

    const QStringList names = tree.files.keys();
    // A file whose digests did not change keeps the signatures the previous release gave it,
    // where they open with this key: signing many small files again would cost far more than
    // hashing them.
    const std::vector<SignedDigest> digests =
        digestAndSign(tree.files.values(), signer,
                      progress == PublisherProgress::Shown ? progressOn(err) : DigestProgress(),
                      previous.listedFor(names));

    QList<ManifestEntry> entries;
    for (int i = 0; i < names.size(); ++i) {
        const SignedDigest &digest = digests[static_cast<std::size_t>(i)];
        if (!digest.error.isNull())
            return refuse(err, shownInRelease(releaseDir, names.at(i)), digest.error);
        entries.append({names.at(i), fileVersionFor(names.at(i), digest.file, version, previous),
                        QString::fromStdString(digest.file.md5), digest.signature,
                        QString::fromStdString(digest.file.sha256), digest.sha256Signature});
    }
    warnOfUncoveredBytes(names, digests, err);
    if (previous.given && !options.contains("allow-unchanged") &&
        nothingChanged(entries, version, previous))
        return refuse(err, shown(releaseDir),
                      "nothing is new, changed or dropped since " + previous.version + " (" +
                          shown(options.value("previous")) +
                          "), so installations would fetch nothing; give --allow-unchanged to "
                          "publish it all the same");

    // Written whole or not at all: a half-written manifest on a server stops every installation.
    const QByteArray xml = manifestXml(server, version, entries);
    QSaveFile file(outputPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size() || !file.commit())
        return refuse(err, shown(outputPath), "cannot write it: " + file.errorString());

    warnOfPlainHttp(err, "--server " + server, server);
    if (previous.given)
        reportChanges(entries, version, previous, out);
    out << shown(outputPath) << ": version " << version << ", "
        << count(entries.size(), "file", "files") << "\n";
    return PublisherSuccess;
}
