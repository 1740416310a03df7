#include "tests/e2e/harness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>

namespace {

// One fixture server for the test process: each scenario points it at its folder and faults.
struct FixtureServer
{
    QTemporaryDir folder;
    QProcess process;
    quint16 port = 0;
    ~FixtureServer()
    {
        process.closeWriteChannel(); // the server ends with its input
        process.waitForFinished();
    }
};

FixtureServer &fixture()
{
    static FixtureServer server;
    return server;
}

} // namespace

UpdateScenario::UpdateScenario() : environment(QProcessEnvironment::systemEnvironment())
{
    QDir(root.path()).mkpath("install");
    QDir(root.path()).mkpath("release");
    writeFile(root.filePath("outside.txt"), "a file next to the installation\n");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("QT_MESSAGE_PATTERN");
}

QString UpdateScenario::at(const QString &folder, const QString &relative) const
{
    return root.filePath(relative.isEmpty() ? folder : folder + "/" + relative);
}

bool UpdateScenario::startServer()
{
    // With another key embedded every signed download would fail, for no fault of the updater.
    const QString keyProblem = developmentKeyProblem();
    if (!keyProblem.isNull()) {
        qWarning("%s", qPrintable(keyProblem));
        return false;
    }
    if (fixture().process.state() == QProcess::NotRunning) {
        fixture().process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        fixture().process.start("python3",
                                {CORVANTILE_FIXTURE_SERVER, fixture().folder.filePath("control")});
        const bool started = fixture().process.waitForReadyRead(20000);
        const QByteArray line = fixture().process.readLine().trimmed();
        fixture().port = started && line.startsWith("PORT ") ? quint16(line.mid(5).toUInt()) : 0;
    }
    port = fixture().port;
    setFault(QString(), QJsonObject());
    return port != 0;
}

void UpdateScenario::setFault(const QString &path, const QJsonObject &fault)
{
    if (!path.isEmpty())
        faults.insert(path, fault);
    const QJsonObject control{
        {"root", releasePath()}, {"log", root.filePath("requests.log")}, {"faults", faults}};
    writeFile(fixture().folder.filePath("control"), QJsonDocument(control).toJson());
}

QStringList UpdateScenario::requests() const
{
    return QString::fromUtf8(readFile(root.filePath("requests.log")))
        .split('\n', Qt::SkipEmptyParts);
}

ManifestEntry UpdateScenario::entry(const QString &name, const QString &version, bool withDigest,
                                    bool withSignature) const
{
    const QByteArray content = readFile(releasePath(name));
    const QString md5 = withDigest ? textModeMd5Of(content) : QString();
    const QString sha256 = withDigest ? sha256Of(content) : QString();
    const auto sign = [&](const QString &digest) {
        return withSignature ? signDigest(digest, developmentPrivateKey()) : QString();
    };
    return {name, version, md5, sign(md5), sha256, sign(sha256)};
}

QByteArray UpdateScenario::manifest(const QString &server, const QString &version,
                                    const QList<ManifestEntry> &entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n    <UpdateServer>" +
                  server.toHtmlEscaped() + "</UpdateServer>\n    <Version>" +
                  version.toHtmlEscaped() + "</Version>\n    <Files>\n";
    const QStringList tags{"Name", "Version", "MD5", "Signature", "SHA256", "SHA256Signature"};
    for (const ManifestEntry &e : entries) {
        // Read by position: a later element needs the earlier ones, empty or not.
        const QStringList texts{e.name, e.version, e.md5, e.signature, e.sha256, e.sha256Signature};
        int count = texts.size();
        while (count > 2 && texts.at(count - 1).isEmpty())
            --count;
        xml += "        <File>";
        for (int i = 0; i < count; ++i)
            xml += QString("<%1>%2</%1>").arg(tags.at(i), texts.at(i).toHtmlEscaped());
        xml += "</File>\n";
    }
    return (xml + "    </Files>\n</Update>\n").toUtf8();
}

RunResult UpdateScenario::runAndCloseAfter(const QString &untilLine, int timeoutMs)
{
    if (outsideBefore.isEmpty()) {
        outsideBefore = snapshot(false);
        installationBefore = snapshot(true);
    }
    QProcessEnvironment env = environment;
    // LeakSanitizer cannot work in a traced process and ends it with an error of its own.
    if (!wrapper.isEmpty())
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(installPath());
    const QStringList command = wrapper + QStringList{CORVANTILE_E2E_DRIVER};
    process.start(command.first(), command.mid(1));
    RunResult result;
    QByteArray pending;
    bool closing = untilLine.isEmpty();
    const auto take = [&](bool all) {
        pending += process.readAllStandardError();
        process.readAllStandardOutput();
        if (all && !pending.isEmpty() && !pending.endsWith('\n'))
            pending += '\n';
        for (int end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
            const QString line = QString::fromUtf8(pending.left(end));
            result.lines.append(line);
            if (line.startsWith("MESSAGE BOX "))
                result.boxes.append(line.mid(12));
            result.toolStarted |= line.startsWith("TOOL STARTED ");
            if (!closing && line.startsWith(untilLine))
                closing = process.write("close\n") > 0;
        }
    };
    QElapsedTimer timer;
    timer.start();
    while (process.state() != QProcess::NotRunning && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(200);
        take(false);
    }
    result.finished = process.state() == QProcess::NotRunning;
    process.kill();
    process.waitForFinished();
    take(true);
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
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.startsWith(installPath() + "/") == installation &&
            path != root.filePath("requests.log"))
            snapshot.insert(path, it.fileInfo().isDir() ? "dir" : readFile(path));
    }
    return snapshot;
}

QString developmentPrivateKey()
{
    return testDataPath("keys/dev_private.pem");
}
