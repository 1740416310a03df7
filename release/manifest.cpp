#include "release/manifest.h"

#include <QBuffer>
#include <QDomDocument>
#include <QFile>
#include <QTextStream>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

QDomElement firstTopLevelElement(const QDomDocument &document, const QString &tagName)
{
    const QDomElement root = document.documentElement();
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (node.isElement() && node.toElement().tagName() == tagName)
            return node.toElement();
    }
    return QDomElement();
}

// The positions of an entry that are read: name, version, MD5, Signature, SHA256,
// SHA256Signature.
constexpr int entryPositions = 6;

// The first child nodes of an entry, by position; a missing position stays null.
void takeEntryPositions(const QDomNode &entry, QDomNode positions[entryPositions])
{
    QDomNode child = entry.firstChild();
    for (int i = 0; i < entryPositions && !child.isNull(); ++i, child = child.nextSibling())
        positions[i] = child;
}

// Records the text of a digest or signature position: only a non-empty text in an element of
// exactly that name counts.
void recordPosition(const QDomNode &position, const QString &tagName, const QString &name,
                    QMap<QString, QString> *map)
{
    if (!map)
        return;
    const QDomElement element = position.toElement();
    const QString text = element.text();
    if (!text.isEmpty() && element.tagName() == tagName)
        map->insert(name, text);
}

// QDomDocument builds and frees its tree recursively, a few stack frames per level: a document
// nested some 100,000 deep overflows the stack while it is parsed or freed. A streaming pass
// keeps no tree and measures the depth first. Where the stream reader finds the document
// malformed it cannot tell how deep the rest goes, so such a document is refused as well; the
// stream reader also stops entity expansions that would run into gigabytes. Returns why the
// document cannot be used, or a null text.
QString nestingProblem(const QByteArray &content)
{
    QXmlStreamReader reader(content);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maximumManifestDepth)
            return QString("its elements are nested deeper than %1 levels (line %2, column %3)")
                .arg(maximumManifestDepth)
                .arg(reader.lineNumber())
                .arg(reader.columnNumber());
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    if (reader.hasError())
        return QString("not a well-formed XML manifest (line %1, column %2: %3)")
            .arg(reader.lineNumber())
            .arg(reader.columnNumber())
            .arg(reader.errorString());
    return QString();
}

// The text of a name or version position. A missing position, or one that is no element, gives
// a null element whose text() is a null text; it is made an empty one, because callers take a
// null name to mean "no name" (firstUnsafeName reports no unsafe name that way) and would let an
// entry without a name through as the server's root address.
QString positionText(const QDomNode &position)
{
    const QString text = position.toElement().text();
    return text.isNull() ? QStringLiteral("") : text;
}

void appendTextElement(QDomDocument &document, QDomElement &parent, const QString &tagName,
                       const QString &text)
{
    QDomElement element = document.createElement(tagName);
    element.appendChild(document.createTextNode(text));
    parent.appendChild(element);
}

} // namespace

bool parseManifest(QDomDocument &document, const QByteArray &content, QString *error)
{
    const QString problem = nestingProblem(content);
    if (!problem.isNull()) {
        document.clear();
        if (error)
            *error = problem;
        return false;
    }
    QString message;
    int line = 0;
    int column = 0;
    if (document.setContent(content, &message, &line, &column))
        return true;
    if (error)
        *error = QString("not a well-formed XML manifest (line %1, column %2: %3)")
                     .arg(line)
                     .arg(column)
                     .arg(message);
    return false;
}

bool readManifestFile(const QString &path, QDomDocument *document, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = "cannot read it: " + file.errorString();
        return false;
    }
    return parseManifest(*document, file.readAll(), error);
}

bool writeManifest(const QDomDocument &document, QIODevice *device, QString *error)
{
    QTextStream stream(device);
    stream.setCodec("UTF-8");
    document.save(stream, 4, QDomNode::EncodingFromTextStream);
    stream.flush();
    if (stream.status() == QTextStream::Ok)
        return true;
    if (error)
        *error = device->errorString();
    return false;
}

QByteArray manifestXml(const QString &server, const QString &version,
                       const QList<ManifestEntry> &entries)
{
    QDomDocument document;
    document.appendChild(
        document.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"UTF-8\""));
    QDomElement root = document.createElement("Update");
    document.appendChild(root);
    appendTextElement(document, root, "UpdateServer", server);
    appendTextElement(document, root, "Version", version);
    QDomElement table = document.createElement("Files");
    root.appendChild(table);
    for (const ManifestEntry &entry : entries) {
        // Installations read an entry by position: name, version, MD5, Signature, and, where
        // they know them, SHA256 and SHA256Signature.
        QDomElement file = document.createElement("File");
        appendTextElement(document, file, "Name", entry.name);
        appendTextElement(document, file, "Version", entry.version);
        appendTextElement(document, file, "MD5", entry.md5);
        appendTextElement(document, file, "Signature", entry.signature);
        appendTextElement(document, file, "SHA256", entry.sha256);
        appendTextElement(document, file, "SHA256Signature", entry.sha256Signature);
        table.appendChild(file);
    }

    // Saved the way the updater saves a manifest it stores, so an installation's update.xml
    // reads like the published one.
    QByteArray text;
    QBuffer buffer(&text);
    buffer.open(QIODevice::WriteOnly);
    writeManifest(document, &buffer);
    return text;
}

QString elementText(const QDomDocument &document, const QString &tagName)
{
    return firstTopLevelElement(document, tagName).text();
}

FileTable readFileTable(const QDomDocument &document, QMap<QString, QString> *digests,
                        QMap<QString, QString> *signatures, QMap<QString, QString> *sha256Digests,
                        QMap<QString, QString> *sha256Signatures)
{
    FileTable table;
    const QDomElement files = firstTopLevelElement(document, "Files");
    // Walking by sibling keeps this linear: indexing a fresh childNodes() list per entry is
    // quadratic and takes minutes on a large release.
    for (QDomNode entry = files.firstChild(); !entry.isNull(); entry = entry.nextSibling()) {
        QDomNode positions[entryPositions];
        takeEntryPositions(entry, positions);
        const QString name = positionText(positions[0]);
        table.insert(name, positionText(positions[1]));

        recordPosition(positions[2], "MD5", name, digests);
        recordPosition(positions[3], "Signature", name, signatures);
        recordPosition(positions[4], "SHA256", name, sha256Digests);
        recordPosition(positions[5], "SHA256Signature", name, sha256Signatures);
    }
    return table;
}

QString serverAddressProblem(const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || (parsed.scheme() != "http" && parsed.scheme() != "https") ||
        parsed.host().isEmpty())
        return "it is not an absolute http:// or https:// address";
    if (parsed.hasQuery() || parsed.hasFragment())
        return "installations append \"/update.xml\" to it, which a query or fragment would "
               "swallow";
    if (url.endsWith('/'))
        return "it ends in \"/\"; installations append \"/update.xml\" themselves";
    return QString();
}
