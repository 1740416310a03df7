#ifndef CORVANTILE_TOOLS_RELEASEMANIFEST_H
#define CORVANTILE_TOOLS_RELEASEMANIFEST_H

#include <QByteArray>
#include <QList>
#include <QString>

class QDomDocument;

// One entry of a published manifest.
struct ManifestFile
{
    QString name;
    QString version;
    QString md5;
    QString signature;
};

// The manifest as installations read it: root Update with UpdateServer, Version and Files, one
// File per entry with Name, Version, MD5 and Signature, UTF-8, indented by 4. The entries are
// written in the order given; the same input always gives the same bytes.
QByteArray manifestXml(const QString &server, const QString &version,
                       const QList<ManifestFile> &files);

// Reads and parses a manifest file as installations parse one (parseManifest, depth limit
// included); on failure `error` receives the reason.
bool readManifest(const QString &path, QDomDocument *document, QString *error);

// Why a text cannot be a release or file version (at least three dotted components, each a
// decimal number that compareVersions reads as such), or empty text.
QString versionProblem(const QString &version);

// Why a text cannot be the UpdateServer of a manifest, or empty text. Installations append
// "/update.xml" and "/" plus each name to it as it stands.
QString serverProblem(const QString &url);

#endif // CORVANTILE_TOOLS_RELEASEMANIFEST_H
