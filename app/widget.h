#ifndef CORVANTILE_APP_WIDGET_H
#define CORVANTILE_APP_WIDGET_H

#include "app/update/downloadlistlog.h"

#include <QDomDocument>
#include <QMap>
#include <QNetworkAccessManager>
#include <QPoint>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>

class MyProgressBar;
class QFile;
class QLockFile;
class QMouseEvent;
class QNetworkReply;

namespace Ui {
class Widget;
}

// The updater window. It is also the controller of the one update run: every piece of state of
// the run is a member, and every network signal of the run arrives at one of its private slots.
// The run's operations live in app/update/, one file each.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // True once files were planned for download, or once the run stopped without an ending: the
    // run normally ends the process itself, so a window that is closed afterwards leaves an
    // update that did not finish.
    bool updateInterrupted() const { return totalFiles > 0 || runStopped; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void httpFinished();
    void downloadFinished();
    void downloadReadyRead();
    void updateDataReadProgress(qint64 bytesRead, qint64 totalBytes);

private:
    // The local manifest (localmanifest.cpp)
    void loadLocalManifest();
    void removeLeftoverManifests();
    QMap<QString, QString> parseFileTable(const QDomDocument &document);
    bool storeServerManifest();

    // Version check (versioncheck.cpp)
    void requestServerManifest(const QUrl &url);

    // One run at a time (installationlock.cpp)
    void lockInstallation();
    void unlockInstallation();

    // Planning (planning.cpp)
    void planDownloads();
    void refuseLinkOnTheWay(const QString &localPath);
    void deleteObsoleteFiles();

    // The download queue (downloadqueue.cpp)
    void startNextDownload();
    void clearDroppedFilesOnTheWay(const QString &directory);
    [[noreturn]] void finishUpdate();

    // Verification and installation (verification.cpp)
    void checkSha256(const QString &targetPath, const std::string &computed);
    bool installStagedFile(const QString &stagingPath, const QString &targetPath);
    bool clearDroppedFolder(const QString &folder);

    // How a run ends (runend.cpp)
    [[noreturn]] void launchTool();
    [[noreturn]] void endRunWithMessage(const QString &text);
    void showMessage(const QString &text);
    void stopRun(const QString &caption);

    friend class TestWidget;

    std::unique_ptr<Ui::Widget> ui;
    QDomDocument localManifest;
    QDomDocument serverManifest;
    QNetworkAccessManager networkManager;
    QNetworkReply *reply;
    QString serverUrl;
    QStringList downloadList;
    std::unique_ptr<QFile> downloadFile;
    int totalFiles;
    bool dragging;
    QPoint dragOffset;
    MyProgressBar *progressBar;
    QMap<QString, QString> fileDigests;
    QMap<QString, QString> fileSignatures;
    // The SHA-256 of every raw byte of a file and its signature, from the server's entries that
    // carry them: the MD5 digest stops at a file's first 0x1A, this one covers the rest as well.
    QMap<QString, QString> fileSha256Digests;
    QMap<QString, QString> fileSha256Signatures;

    // The manifest name of the file in flight, exactly as the server writes it: its digest and
    // signature are looked up under this name, not under the local path derived from it.
    QString downloadName;
    // Set when a planned file could not be installed; the old manifest is then kept so that the
    // next run fetches that file again.
    bool updateIncomplete;
    // Set when the run stopped without an ending and the caption says why.
    bool runStopped;
    DownloadListLog downloadListLog;
    // Local paths of the files the old release listed and the new one does not; deleted once
    // every planned file is installed.
    QSet<QString> obsoleteFiles;
    // Local paths of the files installed by this run: made durable before the new update.xml is.
    QStringList installedFiles;
    // Held from the start of the run to its end, so that two runs never share staging files.
    std::unique_ptr<QLockFile> installationLock;
};

#endif // CORVANTILE_APP_WIDGET_H
