#include "app/widget.h"
#include "release/manifest.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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
    removeLeftoverManifests();

    serverUrl = elementText(localManifest, "UpdateServer");
    requestServerManifest(QUrl(serverUrl + "/update.xml", QUrl::TolerantMode));
}

void Widget::removeLeftoverManifests()
{
    // A run ended while it stored update.xml leaves the copy it was writing beside it, under the
    // temporary name QSaveFile gave it. This run holds the installation's lock, so no other run
    // is writing one now; a file of that name that the release lists stays.
    static const QRegularExpression temporaryName("^update\\.xml\\.[A-Za-z0-9]{6}$");
    QStringList leftovers =
        QDir().entryList({"update.xml.??????"}, QDir::Files | QDir::Hidden | QDir::System);
    leftovers = leftovers.filter(temporaryName);
    if (leftovers.isEmpty())
        return;
    const FileTable listed = readFileTable(localManifest, nullptr, nullptr);
    for (const QString &leftover : qAsConst(leftovers)) {
        if (!listed.contains(leftover))
            QFile::remove(leftover);
    }
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
    // QSaveFile writes to where a link points: update.xml made a link would take the manifest
    // anywhere on the machine.
    if (readOnly || old.isSymLink() || !file.open(QIODevice::WriteOnly | QIODevice::Text) ||
        !writeManifest(serverManifest, &file) || !file.commit()) {
        qDebug() << "open update.xml failed";
        return false;
    }
    return true;
}
