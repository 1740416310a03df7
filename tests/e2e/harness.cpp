#include "tests/e2e/harness.h"

#include "tests/testsupport.h"

#include "release/filenames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

UpdateScenario::UpdateScenario()
{
    QDir(root.path()).mkpath("install");
    QDir(root.path()).mkpath("release");
    QDir(root.path()).mkpath("fixture");
    writeFile(root.filePath("outside.txt"), "a file next to the installation\n");
    writeFile(root.filePath("fixture/faults.json"), "{}");
}

UpdateScenario::~UpdateScenario()
{
    if (server.state() != QProcess::NotRunning) {
        server.kill();
        server.waitForFinished();
    }
}

bool UpdateScenario::startServer()
{
    // Every scenario signs with the development key: with another key embedded, every download
    // would fail its signature check, for no fault of the updater.
    const QString keyProblem = developmentKeyProblem();
    if (!keyProblem.isNull()) {
        qWarning("%s", qPrintable(keyProblem));
        return false;
    }
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start("python3",
                 {CORVANTILE_FIXTURE_SERVER, releasePath(), root.filePath("fixture/faults.json"),
                  root.filePath("fixture/requests.log")});
    if (!server.waitForStarted() || !server.waitForReadyRead(20000))
        return false;
    const QByteArray line = server.readLine().trimmed();
    if (!line.startsWith("PORT "))
        return false;
    port = quint16(line.mid(5).toUInt());
    return port != 0;
}

QString UpdateScenario::serverUrl() const
{
    return QString("http://127.0.0.1:%1").arg(port);
}

QString UpdateScenario::installPath(const QString &relative) const
{
    return relative.isEmpty() ? root.filePath("install") : root.filePath("install/" + relative);
}

QString UpdateScenario::releasePath(const QString &relative) const
{
    return relative.isEmpty() ? root.filePath("release") : root.filePath("release/" + relative);
}

void UpdateScenario::install(const QString &relative, const QByteArray &content)
{
    writeFile(installPath(relative), content);
}

void UpdateScenario::publish(const QString &relative, const QByteArray &content)
{
    writeFile(releasePath(relative), content);
}

QByteArray UpdateScenario::installed(const QString &relative) const
{
    QFile file(installPath(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool UpdateScenario::isInstalled(const QString &relative) const
{
    return QFileInfo(installPath(relative)).isFile();
}

void UpdateScenario::setFault(const QString &path, const QJsonObject &fault)
{
    QFile file(root.filePath("fixture/faults.json"));
    file.open(QIODevice::ReadOnly);
    QJsonObject faults = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    faults.insert(path, fault);
    writeFile(root.filePath("fixture/faults.json"), QJsonDocument(faults).toJson());
}

QStringList UpdateScenario::requests() const
{
    QFile file(root.filePath("fixture/requests.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

ManifestEntry UpdateScenario::entry(const QString &name, const QString &version, bool withDigest,
                                    bool withSignature) const
{
    const QByteArray content = readFile(releasePath(name));
    const QString digest = textModeMd5Of(content);
    const QString sha256 = sha256Of(content);
    ManifestEntry result{name, version, QString(), QString()};
    if (withDigest) {
        result.md5 = digest;
        result.sha256 = sha256;
    }
    if (withSignature) {
        result.signature = signDigest(digest, developmentPrivateKey());
        result.sha256Signature = signDigest(sha256, developmentPrivateKey());
    }
    return result;
}

QByteArray UpdateScenario::manifest(const QString &server, const QString &version,
                                    const QList<ManifestEntry> &entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n";
    xml += "    <UpdateServer>" + escaped(server) + "</UpdateServer>\n";
    xml += "    <Version>" + escaped(version) + "</Version>\n    <Files>\n";
    for (const ManifestEntry &e : entries) {
        xml += "        <File><Name>" + escaped(e.name) + "</Name><Version>" + escaped(e.version) +
               "</Version>";
        // Entries are read by position: a later element needs the earlier ones, empty or not.
        const bool withSha256 = !e.sha256.isEmpty() || !e.sha256Signature.isEmpty();
        if (!e.md5.isEmpty() || !e.signature.isEmpty() || withSha256)
            xml += "<MD5>" + escaped(e.md5) + "</MD5>";
        if (!e.signature.isEmpty() || withSha256)
            xml += "<Signature>" + escaped(e.signature) + "</Signature>";
        if (withSha256)
            xml += "<SHA256>" + escaped(e.sha256) + "</SHA256>";
        if (!e.sha256Signature.isEmpty())
            xml += "<SHA256Signature>" + escaped(e.sha256Signature) + "</SHA256Signature>";
        xml += "</File>\n";
    }
    xml += "    </Files>\n</Update>\n";
    return xml.toUtf8();
}

void UpdateScenario::installManifest(const QString &version, const QList<ManifestEntry> &entries)
{
    install("update.xml", manifest(serverUrl(), version, entries));
}

void UpdateScenario::publishManifest(const QString &version, const QList<ManifestEntry> &entries)
{
    publish("update.xml", manifest(serverUrl(), version, entries));
}

RunResult UpdateScenario::run(int timeoutMs)
{
    return runAndCloseAfter(QString(), timeoutMs);
}

RunResult UpdateScenario::runAndCloseAfter(const QString &untilLine, int timeoutMs)
{
    if (outsideBefore.isEmpty()) {
        outsideBefore = snapshot(false);
        installationBefore = snapshot(true);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("QT_MESSAGE_PATTERN");
    if (!trustedAuthority.isEmpty())
        environment.insert("CORVANTILE_E2E_TRUSTED_AUTHORITY", trustedAuthority);
    // LeakSanitizer cannot work in a traced process and ends it with an error of its own.
    if (!wrapper.isEmpty()) {
        const QString options = environment.value("ASAN_OPTIONS");
        environment.insert("ASAN_OPTIONS",
                           (options.isEmpty() ? "" : options + ":") + "detect_leaks=0");
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(installPath());
    process.setProcessChannelMode(QProcess::SeparateChannels);
    if (wrapper.isEmpty())
        process.start(CORVANTILE_E2E_DRIVER, QStringList());
    else
        process.start(wrapper.first(), wrapper.mid(1) << CORVANTILE_E2E_DRIVER);
    process.waitForStarted();

    RunResult result;
    QByteArray pending;
    QElapsedTimer timer;
    timer.start();
    bool untilSeen = false;
    while (process.state() != QProcess::NotRunning && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(200);
        pending += process.readAllStandardError();
        process.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            result.lines.append(line);
            if (!untilLine.isEmpty() && !untilSeen && line.startsWith(untilLine)) {
                untilSeen = true;
                process.write("close\n");
            }
        }
    }
    // Finished means the updater ended by itself, not at the timeout.
    result.finished = process.state() == QProcess::NotRunning;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    pending += process.readAllStandardError();
    for (const QByteArray &line : pending.split('\n')) {
        if (!line.isEmpty())
            result.lines.append(QString::fromUtf8(line));
    }
    for (const QString &line : result.lines) {
        if (line.startsWith("MESSAGE BOX "))
            result.boxes.append(line.mid(12));
        if (line.startsWith("TOOL STARTED "))
            result.toolStarted = true;
    }
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    return result;
}

QMap<QString, QByteArray> UpdateScenario::snapshot(bool installation) const
{
    QMap<QString, QByteArray> snapshot;
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QString installDir = installPath() + "/";
    const QString fixtureDir = root.filePath("fixture") + "/";
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.startsWith(installDir) != installation || path.startsWith(fixtureDir))
            continue;
        QFile file(path);
        QByteArray digest = "dir";
        if (file.open(QIODevice::ReadOnly))
            digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex();
        snapshot.insert(path, digest);
    }
    return snapshot;
}

QString developmentPrivateKey()
{
    return testDataPath("keys/dev_private.pem");
}

QString otherPrivateKey()
{
    return testDataPath("keys/other_private.pem");
}
