// verify --url: the release as the server answers for it, fetched as installations fetch it.
#include "tools/publishercommands.h"

#include "release/filenames.h"
#include "release/manifest.h"
#include "tools/filechecks.h"
#include "tools/livefetch.h"
#include "tools/releasedigests.h"
#include "tools/releasesigner.h"

#include <QDateTime>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace {

// Longer than this in a cache, and installations keep meeting the old release well after an
// upload.
constexpr qint64 longestCaching = 300;

QString mebibytes(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1 << 20), 'f', 1);
}

// The word a publisher reads for an answer that brought no usable body.
FileCheck unusableAnswer(const LiveBody &body)
{
    const QString reason = body.problem.reason;
    switch (body.problem.fault) {
    case ReplyFault::Unanswered:
        return {"UNREACHABLE", reason};
    case ReplyFault::Status:
        if (body.httpStatus >= 300 && body.httpStatus <= 399)
            return {"REDIRECTED", QString("HTTP %1 to %2; installations do not follow redirects")
                                      .arg(body.httpStatus)
                                      .arg(body.location.isEmpty() ? "nowhere" : body.location)};
        return {"HTTP " + QString::number(body.httpStatus), reason};
    case ReplyFault::CutShort:
        return {"CUT SHORT", reason};
    case ReplyFault::Encoded:
    case ReplyFault::Unframed:
    case ReplyFault::Overlong:
        return {"BAD ANSWER", reason + "; installations refuse it"};
    case ReplyFault::Failed:
    case ReplyFault::None:
        break;
    }
    return {"NOT CHECKED", reason};
}

// How long the answer lets a cache keep it, in words, where that is longer than longestCaching.
QStringList longCaching(const LiveBody &body)
{
    QStringList reasons;
    for (const QByteArray &directive : body.cacheControl.split(',')) {
        const QList<QByteArray> parts = directive.trimmed().split('=');
        const QByteArray name = parts.first().trimmed().toLower();
        if (parts.size() != 2 || (name != "max-age" && name != "s-maxage"))
            continue;
        bool number = false;
        const qint64 seconds = parts.at(1).trimmed().toLongLong(&number);
        if (number && seconds > longestCaching)
            reasons.append(
                QString("Cache-Control %1=%2").arg(QString::fromLatin1(name)).arg(seconds));
    }
    const QDateTime expires =
        QDateTime::fromString(QString::fromLatin1(body.expires).trimmed(), Qt::RFC2822Date);
    if (expires.isValid()) {
        // The server's own clock, where it gives it, says how far ahead Expires lies.
        QDateTime now =
            QDateTime::fromString(QString::fromLatin1(body.date).trimmed(), Qt::RFC2822Date);
        if (!now.isValid())
            now = QDateTime::currentDateTimeUtc();
        const qint64 ahead = now.secsTo(expires);
        if (ahead > longestCaching)
            reasons.append(QString("Expires %1 seconds ahead").arg(ahead));
    }
    return reasons;
}

// What an installation reading one manifest would find otherwise in the other.
QStringList manifestDifferences(const QDomDocument &live, const QDomDocument &folder)
{
    QStringList differences;
    for (const QString &element : {QString("Version"), QString("UpdateServer")}) {
        const QString liveText = elementText(live, element);
        const QString folderText = elementText(folder, element);
        if (liveText != folderText)
            differences.append(element + " " + quoted(liveText) + " served, " + quoted(folderText) +
                               " in the folder");
    }
    ListedDigests liveDigests;
    ListedDigests folderDigests;
    const FileTable liveFiles = readListedFiles(live, &liveDigests);
    const FileTable folderFiles = readListedFiles(folder, &folderDigests);
    QStringList names = liveFiles.keys() + folderFiles.keys();
    names.removeDuplicates();
    names.sort();
    for (const QString &name : qAsConst(names)) {
        if (!folderFiles.contains(name))
            differences.append(quoted(name) + " only served");
        else if (!liveFiles.contains(name))
            differences.append(quoted(name) + " only in the folder");
        else if (liveFiles.value(name) != folderFiles.value(name))
            differences.append(quoted(name) + " version " + liveFiles.value(name) + " served, " +
                               folderFiles.value(name) + " in the folder");
        else if (liveDigests.md5.value(name) != folderDigests.md5.value(name) ||
                 liveDigests.signatures.value(name) != folderDigests.signatures.value(name) ||
                 liveDigests.sha256.value(name) != folderDigests.sha256.value(name) ||
                 liveDigests.sha256Signatures.value(name) !=
                     folderDigests.sha256Signatures.value(name))
            differences.append(quoted(name) + " digests or signatures");
    }
    return differences;
}

// A live file that passed the checks must also be the folder's: a server that maps a name to
// another file, or an upload that stopped half way, gives bytes the folder does not hold.
FileCheck compareWithFolder(const QString &releaseDir, const QString &name,
                            const QString &liveSha256)
{
    const QString path = QDir(releaseDir).filePath(localPathForName(name));
    if (!QFileInfo(path).isFile())
        return {"DIFFERS", "not in " + shown(releaseDir)};
    FileDigest folderFile;
    QString problem;
    if (!digestFile(path, &folderFile, &problem))
        return {"UNREADABLE", shown(path) + ": " + problem};
    const QString folderSha256 = QString::fromStdString(folderFile.sha256);
    if (folderSha256 != liveSha256)
        return {"DIFFERS",
                "SHA-256 " + liveSha256 + " served, " + folderSha256 + " in " + shown(releaseDir)};
    return {"ok", QString()};
}

// The checks on a served file: the answer, then what installations check, then, where a folder
// is given, whether it is the folder's file.
FileCheck checkLiveFile(const LiveBody &body, const QString &name, const ListedDigests &listed,
                        const QByteArray &publicKeyPem, const QString &releaseDir)
{
    if (!body.arrived())
        return unusableAnswer(body);
    QString liveSha256;
    const FileCheck check =
        checkFileContent(body.file->fileName(), name, listed, publicKeyPem, &liveSha256);
    if (!check.passed() || releaseDir.isEmpty())
        return check;
    FileCheck compared = compareWithFolder(releaseDir, name, liveSha256);
    compared.note = check.note;
    return compared;
}

void warnOfLongCaching(QTextStream &err, const QString &address, const LiveBody &body)
{
    const QStringList caching = longCaching(body);
    if (caching.isEmpty())
        return;
    warn(err, address,
         "caches may keep it for more than " + QString::number(longestCaching) + " seconds (" +
             caching.join(", ") +
             "): after an upload, installations behind such a cache keep meeting the old "
             "release; serve update.xml with max-age=" +
             QString::number(longestCaching) + " or less");
}

// On a terminal, how far the current file has come, a few times a second.
class FetchProgress
{
public:
    FetchProgress(QTextStream &err, PublisherProgress shown) : err(err), shown(shown) {}

    // `what` names the answer being fetched ("update.xml", "3 of 7: bin/tool.dll").
    LiveFetcher::Progress forAnswer(const QString &what)
    {
        if (shown != PublisherProgress::Shown)
            return LiveFetcher::Progress();
        clock.start();
        return [this, what](qint64 received, qint64 total) {
            if (clock.elapsed() < 250 && received != total)
                return;
            clock.restart();
            const QString line =
                QString("fetching %1, %2 of %3 MiB")
                    .arg(what, mebibytes(received), total >= 0 ? mebibytes(total) : QString("?"));
            err << "\r" << line.leftJustified(width);
            width = qMax(width, line.size());
            err.flush();
        };
    }

    // Before a result line: the progress line gives way.
    void clear()
    {
        if (width == 0)
            return;
        err << "\r" << QString(width, ' ') << "\r";
        err.flush();
        width = 0;
    }

private:
    QTextStream &err;
    PublisherProgress shown;
    QElapsedTimer clock;
    int width = 0;
};

// update.xml as the updater fetches and reads it, with its size limit; a document type is refused
// with the rest.
FileCheck fetchManifest(LiveFetcher &fetcher, FetchProgress &progress, const QString &address,
                        LiveBody *body, QByteArray *bytes, QDomDocument *manifest)
{
    *body = fetcher.fetch(QUrl(address, QUrl::TolerantMode), maximumManifestSize,
                          progress.forAnswer("update.xml"));
    progress.clear();
    if (!body->arrived())
        return unusableAnswer(*body);
    QFile file(body->file->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return {"NOT CHECKED", "cannot read the fetched copy: " + file.errorString()};
    *bytes = file.readAll();
    QString problem;
    if (!parseManifest(*manifest, *bytes, &problem))
        return {"BAD MANIFEST", problem};
    if (!manifest->doctype().name().isEmpty())
        return {"BAD MANIFEST", "it has a document type, which installations refuse"};
    return {"ok", QString()};
}

} // namespace

int runVerifyLive(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err,
                  PublisherProgress progress)
{
    const QString base = options.value("url");
    const QString releaseDir = options.value("release");
    QString problem = serverAddressProblem(base);
    if (!problem.isNull())
        return refuse(err, "--url " + quoted(base), problem);
    QByteArray publicKeyPem;
    if (!loadPublicKeyText(options.value("key"), &publicKeyPem, &problem))
        return refuse(err, shown(options.value("key")), problem);
    QByteArray folderManifestBytes;
    QDomDocument folderManifest;
    if (!releaseDir.isEmpty()) {
        if (!QFileInfo(releaseDir).isDir())
            return refuse(err, shown(releaseDir), "no such folder");
        const QString path = QDir(releaseDir).filePath("update.xml");
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(err, shown(path), file.errorString());
        folderManifestBytes = file.readAll();
        if (!parseManifest(folderManifest, folderManifestBytes, &problem))
            return refuse(err, shown(path), problem);
    }

    LiveFetcher fetcher;
    FetchProgress shownProgress(err, progress);
    const QString manifestAddress = base + "/update.xml";
    LiveBody manifestBody;
    QByteArray liveManifestBytes;
    QDomDocument liveManifest;
    FileCheck manifestCheck = fetchManifest(fetcher, shownProgress, manifestAddress, &manifestBody,
                                            &liveManifestBytes, &liveManifest);
    if (!manifestCheck.passed()) {
        writeCheckLine(out, err, "update.xml", manifestCheck);
        out << "update.xml: " << manifestCheck.status << "; no file checked\n";
        return PublisherRefused;
    }

    warnOfLongCaching(err, manifestAddress, manifestBody);
    const bool soundHeader = checkManifestHeader(manifestAddress, liveManifest, out, err);
    const QString listedServer = elementText(liveManifest, "UpdateServer");
    if (listedServer != base)
        warn(err, manifestAddress,
             "its UpdateServer is " + quoted(listedServer) +
                 ", not the address checked; "
                 "installations fetch their next update from " +
                 quoted(listedServer));

    bool sameManifest = true;
    if (!releaseDir.isEmpty() && liveManifestBytes != folderManifestBytes) {
        sameManifest = false;
        QStringList differences = manifestDifferences(liveManifest, folderManifest);
        if (differences.isEmpty())
            differences.append("the same entries, written otherwise");
        manifestCheck = {
            "DIFFERS", "not the bytes of " + shown(QDir(releaseDir).filePath("update.xml")) +
                           ": a stale cache or a half-finished upload; " + differences.join("; ")};
    }
    writeCheckLine(out, err, "update.xml", manifestCheck);

    ListedDigests listed;
    const FileTable table = readListedFiles(liveManifest, &listed);
    const QMap<QString, QString> unsafe = unsafeNames(table);
    int failed = 0;
    int position = 0;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const QString &name = it.key();
        ++position;
        FileCheck check{"UNSAFE NAME", unsafe.value(name)};
        if (!unsafe.contains(name)) {
            // The address as the updater builds it from UpdateServer and the name.
            const LiveBody body = fetcher.fetch(
                QUrl(base + "/" + name, QUrl::TolerantMode), -1,
                shownProgress.forAnswer(
                    QString("%1 of %2: %3").arg(position).arg(table.size()).arg(name)));
            shownProgress.clear();
            check = checkLiveFile(body, name, listed, publicKeyPem, releaseDir);
        }
        writeCheckLine(out, err, name, check);
        if (!check.passed())
            ++failed;
    }

    out << table.size() << " listed: " << table.size() - failed << " ok, " << failed << " failed";
    if (!sameManifest)
        out << "; update.xml differs from the folder's";
    out << "\n";
    return soundHeader && sameManifest && failed == 0 ? PublisherSuccess : PublisherRefused;
}
