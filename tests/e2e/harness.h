#ifndef CORVANTILE_E2E_HARNESS_H
#define CORVANTILE_E2E_HARNESS_H

#include "release/manifest.h"
#include "tests/testsupport.h"

#include <QtCore>

using Files = QMap<QString, QByteArray>;
using Entries = QList<ManifestEntry>;

// One run of the updater: its log with the driver's CAPTION, MESSAGE BOX and TOOL STARTED lines.
struct RunResult
{
    bool finished = false, toolStarted = false; // finished: by itself, in time
    int exitCode = -1;
    QStringList lines, boxes;
    bool hasLine(const QString &line) const { return lines.contains(line); }
    QString log() const { return lines.join('\n'); }
};

// An installation (the updater's working directory), a release the fixture server serves, and a
// tree around them that must not change. The test process's one server serves the last to start it.
class UpdateScenario
{
public:
    UpdateScenario();
    bool startServer();
    QString serverUrl() const { return QString("http://127.0.0.1:%1").arg(port); }
    QString installPath(const QString &name = {}) const { return path("install/" + name); }
    QString releasePath(const QString &name = {}) const { return path("release/" + name); }
    void install(const QString &name, const QByteArray &b) { writeFile(installPath(name), b); }
    void publish(const QString &name, const QByteArray &b) { writeFile(releasePath(name), b); }
    QByteArray installed(const QString &name) const { return readFile(installPath(name)); }
    Files installation() const { return filesBelow(installPath()); }
    void setFault(const QString &path, const QJsonObject &fault);
    // A published file's entry, its digests and signatures from the tests' own reference.
    ManifestEntry entry(const QString &name, const QString &version, bool digest = true,
                        bool signature = true) const;
    static QByteArray manifest(const QString &server, const QString &version, const Entries &list);
    QByteArray manifest(QString v, const Entries &e) const { return manifest(serverUrl(), v, e); }
    void installManifest(QString v, const Entries &e) { install("update.xml", manifest(v, e)); }
    void publishManifest(QString v, const Entries &e) { publish("update.xml", manifest(v, e)); }
    void trustAuthority(const QString &pem) { env.insert("CORVANTILE_E2E_TRUSTED_AUTHORITY", pem); }
    RunResult run(int timeoutMs = 60000) { return runAndCloseAfter({}, timeoutMs); }
    // Closes the window as a user would once a line starting with `line` appears.
    RunResult runAndCloseAfter(const QString &line, int timeoutMs = 60000);
    bool installationUnchanged() const { return installation() == installationBefore; }
    bool outsideUnchanged() const { return outside() == outsideBefore; }
    QProcessEnvironment env;

private:
    QString path(const QString &relative) const { return QDir::cleanPath(root.filePath(relative)); }
    Files outside() const;
    QTemporaryDir root;
    quint16 port = 0;
    QJsonObject faults;
    Files installationBefore, outsideBefore;
};

QString developmentPrivateKey();

#endif // CORVANTILE_E2E_HARNESS_H
