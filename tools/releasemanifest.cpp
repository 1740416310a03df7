#include "releasemanifest.h"

#include "manifest.h"

#include <QBuffer>
#include <QDomDocument>
#include <QFile>
#include <QUrl>

namespace {

void appendTextElement(QDomDocument &document, QDomElement &parent, const QString &tagName,
                       const QString &text)
{
    QDomElement element = document.createElement(tagName);
    element.appendChild(document.createTextNode(text));
    parent.appendChild(element);
}

bool isDecimal(const QString &component)
{
    if (component.isEmpty())
        return false;
    for (const QChar c : component) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

QByteArray manifestXml(const QString &server, const QString &version,
                       const QList<ManifestFile> &files)
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
    for (const ManifestFile &file : files) {
        // Installations read an entry by position: name, version, MD5, Signature.
        QDomElement entry = document.createElement("File");
        appendTextElement(document, entry, "Name", file.name);
        appendTextElement(document, entry, "Version", file.version);
        appendTextElement(document, entry, "MD5", file.md5);
        appendTextElement(document, entry, "Signature", file.signature);
        table.appendChild(entry);
    }

    // Saved the way the updater saves a manifest it stores, so an installation's update.xml
    // reads like the published one.
    QByteArray text;
    QBuffer buffer(&text);
    buffer.open(QIODevice::WriteOnly);
    writeManifest(document, &buffer);
    return text;
}

bool readManifest(const QString &path, QDomDocument *document, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read it: " + file.errorString();
        return false;
    }
    // Read as installations read a manifest, depth limit included: a hostile or broken one
    // handed to --previous or verify must not exhaust the stack.
    return parseManifest(*document, file.readAll(), error);
}

QString versionProblem(const QString &version)
{
    const QStringList components = version.split('.');
    if (components.size() < 3)
        return "it has fewer than three numeric components (a release version looks like 1.4.0)";
    for (const QString &component : components) {
        bool converts = false;
        component.toInt(&converts);
        // compareVersions reads a component that does not convert as 0, which would hide it.
        if (!isDecimal(component) || !converts)
            return "its component \"" + component + "\" is not a decimal number";
    }
    return QString();
}

QString serverProblem(const QString &url)
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
