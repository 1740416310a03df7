#ifndef CORVANTILE_E2E_HARNESS_H
#define CORVANTILE_E2E_HARNESS_H

#include "release/manifest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What one run of the updater showed: its log lines, message boxes, tool start and exit.
struct RunResult
{
    // The updater ended by itself, in time.
    bool finished = false;
    bool crashed = false;
    int exitCode = -1;
    QStringList lines;
    QStringList boxes;
    bool toolStarted = false;

    bool hasLine(const QString &line) const { return lines.contains(line); }
    QString log() const { return lines.join('\n'); }
};

// A scenario: an installation directory (the updater's working directory), a release folder
// served by the fixture server on loopback, and the rest of a temporary tree that must never
// change. The updater runs as a child process through the unattended driver.
class UpdateScenario
{
public:
    UpdateScenario();
    ~UpdateScenario();
    UpdateScenario(const UpdateScenario &) = delete;
    UpdateScenario &operator=(const UpdateScenario &) = delete;

    bool startServer();
    QString serverUrl() const;

    QString installPath(const QString &relative = QString()) const;
    QString releasePath(const QString &relative = QString()) const;
    void install(const QString &relative, const QByteArray &content);
    void publish(const QString &relative, const QByteArray &content);
    QByteArray installed(const QString &relative) const;
    bool isInstalled(const QString &relative) const;

    void setFault(const QString &path, const QJsonObject &fault);
    QStringList requests() const;

    // An entry for a file already published, with its digests (text-mode MD5 and SHA-256) and,
    // when asked, their signatures made with the development private key.
    ManifestEntry entry(const QString &name, const QString &version, bool withDigest = true,
                        bool withSignature = true) const;
    static QByteArray manifest(const QString &server, const QString &version,
                               const QList<ManifestEntry> &entries);
    void installManifest(const QString &version, const QList<ManifestEntry> &entries);
    void publishManifest(const QString &version, const QList<ManifestEntry> &entries);

    // The updater trusts the system's authorities only; a test's own authority is added to Qt's
    // default TLS configuration by the driver, before the window is built.
    void trustAuthority(const QString &certificatePath) { trustedAuthority = certificatePath; }

    // Runs the updater through this command from now on, the driver's path appended (a tracer).
    void runUnder(const QStringList &command) { wrapper = command; }

    RunResult run(int timeoutMs = 60000);
    // Runs until the given line appears, then closes the window as a user would.
    RunResult runAndCloseAfter(const QString &line, int timeoutMs = 60000);

    // Every file outside the installation directory, or inside it, with a digest of its content.
    QMap<QString, QByteArray> snapshot(bool installation) const;
    bool outsideUnchanged() const { return snapshot(false) == outsideBefore; }
    // The installation as the first run found it: the same files with the same content.
    bool installationUnchanged() const { return snapshot(true) == installationBefore; }

private:
    QTemporaryDir root;
    QProcess server;
    quint16 port = 0;
    QMap<QString, QByteArray> outsideBefore;
    QMap<QString, QByteArray> installationBefore;
    QString trustedAuthority;

    QStringList wrapper;
};

QString developmentPrivateKey();
QString otherPrivateKey();

#endif // CORVANTILE_E2E_HARNESS_H
