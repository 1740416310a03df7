#ifndef CORVANTILE_RELEASE_MANIFEST_H
#define CORVANTILE_RELEASE_MANIFEST_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

class QDomDocument;
class QIODevice;

// The update manifest, update.xml: root Update with UpdateServer, Version and Files, one File
// per entry whose children are read by position (name, version, MD5, Signature, SHA256,
// SHA256Signature). The updater reads it, stores the server's copy, and the publisher writes it.
// Updaters that predate SHA256 read four positions and ignore the rest, so an entry that carries
// the two later ones reads the same to them.

// File name to file version, ascending by name.
using FileTable = QMap<QString, QString>;

// One entry of the Files table. An empty digest or signature text stands for none.
struct ManifestEntry
{
    QString name;
    QString version;
    // Text-mode MD5: up to the first 0x1A, CR LF read as LF.
    QString md5;
    QString signature;
    // SHA-256 of every raw byte of the file, and its signature made as `signature` is. Their
    // initialisers let an entry written with its first four texts leave them empty.
    QString sha256 = QString();
    QString sha256Signature = QString();
};

// Elements nested deeper than this make a document unusable as a manifest. A real manifest is
// four levels deep; the limit only keeps a hostile one from exhausting the stack.
constexpr int maximumManifestDepth = 4096;

// The server's manifest is held whole in memory to be parsed: an answer that never ends would
// take all of it. With both digests and both signatures, a release of 100,000 files is some
// 95 MiB signed with a 2048-bit key and 125 MiB with a 3072-bit one (updaters from before
// SHA256 stop at 64 MiB, about half of that); real ones are a few hundred kilobytes.
constexpr qint64 maximumManifestSize = 160 * 1024 * 1024;

// Parses a manifest, local or the server's, into the document. False, and an empty document, when
// the content is not well-formed XML or is nested deeper than maximumManifestDepth; `error`, when
// given, then receives why and where.
bool parseManifest(QDomDocument &document, const QByteArray &content, QString *error = nullptr);

// Reads and parses a manifest file as installations parse one.
bool readManifestFile(const QString &path, QDomDocument *document, QString *error = nullptr);

// Saves a manifest as UTF-8, indented by 4, with the encoding the stream gives in the XML
// declaration: the form of the publisher's update.xml and of the one the updater stores, so that
// the two read alike. The device must be open for writing.
bool writeManifest(const QDomDocument &document, QIODevice *device, QString *error = nullptr);

// The manifest of a release as the publisher writes it, entries in the order given, with every
// entry's six positions; the same input always gives the same bytes.
QByteArray manifestXml(const QString &server, const QString &version,
                       const QList<ManifestEntry> &entries);

// Text of the first direct child element of the root with the given tag name, or empty text.
QString elementText(const QDomDocument &document, const QString &tagName);

// Reads the entries of the first Files element. Digests and signatures are recorded, under the
// name exactly as the manifest writes it, only where their text is non-empty and their element
// is named exactly "MD5", "Signature", "SHA256" or "SHA256Signature" at its position; pass null
// for a map that is not wanted.
FileTable readFileTable(const QDomDocument &document, QMap<QString, QString> *digests,
                        QMap<QString, QString> *signatures,
                        QMap<QString, QString> *sha256Digests = nullptr,
                        QMap<QString, QString> *sha256Signatures = nullptr);

// Why a text cannot be the UpdateServer of a published manifest, or a null text. Installations
// append "/update.xml" and "/" plus each name to it as it stands.
QString serverAddressProblem(const QString &url);

#endif // CORVANTILE_RELEASE_MANIFEST_H
