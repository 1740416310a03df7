#ifndef CORVANTILE_MANIFEST_H
#define CORVANTILE_MANIFEST_H

#include <QMap>
#include <QString>

class QByteArray;
class QDomDocument;
class QIODevice;

// File name to file version, ascending by name.
using FileTable = QMap<QString, QString>;
using TextMap = QMap<QString, QString>;

// Elements nested deeper than this make a document unusable as a manifest. A real manifest is
// four levels deep; the limit only keeps a hostile one from exhausting the stack.
constexpr int maximumManifestDepth = 4096;

// Parses a manifest, local or the server's, into the document. False, and an empty document, when
// the content is not well-formed XML or is nested deeper than maximumManifestDepth; `error`, when
// given, then receives why and where, for the publisher's tool to show.
bool parseManifest(QDomDocument &document, const QByteArray &content, QString *error = nullptr);

// Saves a manifest as UTF-8, indented by 4, with the encoding the stream gives in the XML
// declaration: the form of the publisher's update.xml and of the one the updater stores, so that
// the two read alike. The device must be open for writing; false when writing failed.
bool writeManifest(const QDomDocument &document, QIODevice *device);

// Text of the first direct child element of the root with the given tag name, or empty text.
QString elementText(const QDomDocument &document, const QString &tagName);

// Reads the entries of the first Files element. Digests and signatures are recorded, under the
// name exactly as the manifest writes it, only where their text is non-empty and their element
// is named "MD5" or "Signature"; pass null for a map that is not wanted.
FileTable readFileTable(const QDomDocument &document, TextMap *digests, TextMap *signatures);

#endif // CORVANTILE_MANIFEST_H
