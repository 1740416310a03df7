#include "app/widget.h"
#include "release/manifest.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

void Widget::loadLocalManifest()
{
    QFile file("update.xml");
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "update.xml not exist.";
        stopRun(tr("Update failed: update.xml is missing.\nReinstall the program."));
        return;
    }
    if (!parseManifest(localManifest, file.readAll())) {
        qDebug() << "localxml setcontent false";
        stopRun(tr("Update failed: update.xml is damaged.\nReinstall the program."));
        return;
    }
    file.close();

    serverUrl = elementText(localManifest, "UpdateServer");
    requestServerManifest(QUrl(serverUrl + "/update.xml", QUrl::TolerantMode));
}

QMap<QString, QString> Widget::parseFileTable(const QDomDocument &document)
{
    return readFileTable(document, &fileDigests, &fileSignatures, &fileSha256Digests,
                         &fileSha256Signatures);
}

bool Widget::storeServerManifest()
{
    // The manifest is written beside the old one and swapped in only when complete: a
    // truncated update.xml would stop every later run.
    QSaveFile file("update.xml");
    const QFileInfo old("update.xml");
    // Opening a read-only update.xml for writing fails, and so must storing over it: QSaveFile
    // would replace it through a rename regardless of its permissions.
    const bool readOnly = old.exists() && !(old.permissions() & QFileDevice::WriteOwner);
    if (readOnly || !file.open(QIODevice::WriteOnly | QIODevice::Text) ||
        !writeManifest(serverManifest, &file) || !file.commit()) {
        qDebug() << "open update.xml failed";
        return false;
    }
    return true;
}
