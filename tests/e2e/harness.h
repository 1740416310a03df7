#ifndef CORVANTILE_E2E_HARNESS_H
#define CORVANTILE_E2E_HARNESS_H

#include "release/manifest.h"
#include "tests/testsupport.h"

#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

// What one run of the updater showed: its log lines (with the driver's CAPTION, MESSAGE BOX and
// TOOL STARTED lines), its message boxes, the tool start and its exit.
struct RunResult
{
    bool finished = false; // the updater ended by itself, in time
    bool crashed = false;
    int exitCode = -1;
    QStringList lines;
    QStringList boxes;
    bool toolStarted = false;
    bool hasLine(const QString &line) const { return lines.contains(line); }
    QString log() const { return lines.join('\n'); }
};

// An installation folder (the updater's working directory), a release folder served by the
// fixture server on loopback, and the rest of a temporary tree that must never change. The
// updater runs as a child process through the unattended driver. One scenario is served at a
// time: the one that started the server last.
class UpdateScenario
{
public:
    UpdateScenario();
    bool startServer();
    QString serverUrl() const { return QString("http://127.0.0.1:%1").arg(port); }
    QString installPath(const QString &relative = QString()) const
    {
        return at("install", relative);
    }
    QString releasePath(const QString &relative = QString()) const
    {
        return at("release", relative);
    }
    void install(const QString &relative, const QByteArray &content)
    {
        writeFile(installPath(relative), content);
    }
    void publish(const QString &relative, const QByteArray &content)
    {
        writeFile(releasePath(relative), content);
    }
    QByteArray installed(const QString &relative) const { return readFile(installPath(relative)); }
    void setFault(const QString &path, const QJsonObject &fault);
    QStringList requests() const;
    // The entry of a published file, its digests and signatures from the tests' own reference.
    ManifestEntry entry(const QString &name, const QString &version, bool withDigest = true,
                        bool withSignature = true) const;
    static QByteArray manifest(const QString &server, const QString &version,
                               const QList<ManifestEntry> &entries);
    void installManifest(const QString &version, const QList<ManifestEntry> &entries)
    {
        install("update.xml", manifest(serverUrl(), version, entries));
    }
    void publishManifest(const QString &version, const QList<ManifestEntry> &entries)
    {
        publish("update.xml", manifest(serverUrl(), version, entries));
    }
    // A test's authority, trusted by the driver as if the machine's store held it.
    void trustAuthority(const QString &pem)
    {
        environment.insert("CORVANTILE_E2E_TRUSTED_AUTHORITY", pem);
    }
    RunResult run(int timeoutMs = 60000) { return runAndCloseAfter(QString(), timeoutMs); }
    // Closes the window as a user would once a line starting with `line` appears.
    RunResult runAndCloseAfter(const QString &line, int timeoutMs = 60000);
    bool outsideUnchanged() const { return snapshot(false) == outsideBefore; }
    // The installation as the first run found it.
    bool installationUnchanged() const { return snapshot(true) == installationBefore; }

    QProcessEnvironment environment;
    QStringList wrapper; // a command the driver runs under, such as a tracer

private:
    QString at(const QString &folder, const QString &relative) const;
    QMap<QString, QByteArray> snapshot(bool installation) const;
    QTemporaryDir root;
    quint16 port = 0;
    QJsonObject faults;
    QMap<QString, QByteArray> outsideBefore, installationBefore;
};

QString developmentPrivateKey();

#endif // CORVANTILE_E2E_HARNESS_H
