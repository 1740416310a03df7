#ifndef CORVANTILE_TOOLS_FILECHECKS_H
#define CORVANTILE_TOOLS_FILECHECKS_H

#include "release/manifest.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class QDomDocument;
class QTextStream;

// What `verify` checks of a published file, whether it lies in a folder or came from the server:
// the checks an installation makes on a download, in its order.

struct FileCheck
{
    QString status;
    QString detail;
    // Bytes of the file that its digest does not cover; the check still passes.
    QString note{};

    bool passed() const { return status == QLatin1String("ok"); }
};

// What the manifest lists for its files, as installations read it.
struct ListedDigests
{
    QMap<QString, QString> md5;
    QMap<QString, QString> signatures;
    QMap<QString, QString> sha256;
    QMap<QString, QString> sha256Signatures;
};

// The manifest's file table, filling `listed`.
FileTable readListedFiles(const QDomDocument &manifest, ListedDigests *listed);

// The content checks on the file at `path`, listed as `name`: its MD5 and signature, then its
// SHA256 and signature where listed. `sha256`, when given, receives the file's SHA-256.
FileCheck checkFileContent(const QString &path, const QString &name, const ListedDigests &listed,
                           const QByteArray &publicKeyPem, QString *sha256 = nullptr);

// Names an installation would refuse, by name, with the reason.
QMap<QString, QString> unsafeNames(const FileTable &table);

// Manifest-wide faults: an installation cannot compare a broken version, and the next run after
// an update fetches from the stored UpdateServer. `subject` names the manifest in what is written.
bool checkManifestHeader(const QString &subject, const QDomDocument &manifest, QTextStream &out,
                         QTextStream &err);

// One line of the report: the status, then the name, then why.
void writeCheckLine(QTextStream &out, QTextStream &err, const QString &name,
                    const FileCheck &check);

#endif // CORVANTILE_TOOLS_FILECHECKS_H
