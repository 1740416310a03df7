#include "manifest.h"

#include "widget.h"

#include <QDebug>
#include <QDomDocument>
#include <QFile>

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

// The first four child nodes of an entry, by position; a missing position stays null.
void takeEntryPositions(const QDomNode &entry, QDomNode positions[4])
{
    QDomNode child = entry.firstChild();
    for (int i = 0; i < 4 && !child.isNull(); ++i, child = child.nextSibling())
        positions[i] = child;
}

} // namespace

QString elementText(const QDomDocument &document, const QString &tagName)
{
    return firstTopLevelElement(document, tagName).text();
}

FileTable readFileTable(const QDomDocument &document, TextMap *digests, TextMap *signatures)
{
    FileTable table;
    const QDomElement files = firstTopLevelElement(document, "Files");
    // Walking by sibling keeps this linear: indexing a fresh childNodes() list per entry is
    // quadratic and takes minutes on a large release.
    for (QDomNode entry = files.firstChild(); !entry.isNull(); entry = entry.nextSibling()) {
        QDomNode positions[4];
        takeEntryPositions(entry, positions);
        // toElement() of a null or non-element node is a null element, whose text is empty.
        const QString name = positions[0].toElement().text();
        table.insert(name, positions[1].toElement().text());

        const QDomElement digest = positions[2].toElement();
        if (digests && !digest.text().isEmpty() && digest.tagName() == "MD5")
            digests->insert(name, digest.text());
        const QDomElement signature = positions[3].toElement();
        if (signatures && !signature.text().isEmpty() && signature.tagName() == "Signature")
            signatures->insert(name, signature.text());
    }
    return table;
}

QMap<QString, QString> Widget::parseFileTable(const QDomDocument &document)
{
    return readFileTable(document, &fileDigests, &fileSignatures);
}

void Widget::loadLocalManifest()
{
    QFile file("update.xml");
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "update.xml not exist.";
        return;
    }
    if (!localManifest.setContent(&file)) {
        qDebug() << "localxml setcontent false";
        file.close();
        return;
    }
    file.close();

    serverUrl = elementText(localManifest, "UpdateServer");
    requestServerManifest(QUrl(serverUrl + "/update.xml", QUrl::TolerantMode));
}
