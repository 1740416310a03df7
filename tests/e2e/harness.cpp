#include "tests/e2e/harness.h"

static QString control() // the fixture server's, read for every request
{
    static QTemporaryDir folder;
    return folder.filePath("control");
}

UpdateScenario::UpdateScenario() : env(QProcessEnvironment::systemEnvironment())
{
    writeFile(root.filePath("outside.txt"), "a file next to the installation\n");
    QDir(root.path()).mkpath("install");
    env.insert("QT_QPA_PLATFORM", "offscreen");
}

bool UpdateScenario::startServer()
{
    // With another key embedded every signed download would fail, for no fault of the updater.
    if (!developmentKeyProblem().isNull())
        qWarning("%s", qPrintable(developmentKeyProblem()));
    setFault({}, {});
    // One fixture server for the test process; it ends with its input, when the test process does.
    static QProcess *const server = new QProcess;
    static const quint16 serverPort = [] {
        server->start("python3", {CORVANTILE_FIXTURE_SERVER, control()});
        return quint16(
            server->waitForReadyRead(20000) ? server->readLine().mid(5).trimmed().toUInt() : 0);
    }();
    return (port = serverPort) != 0 && developmentKeyProblem().isNull();
}

void UpdateScenario::setFault(const QString &path, const QJsonObject &fault)
{
    if (!path.isEmpty())
        faults.insert(path, fault);
    writeFile(control(),
              QJsonDocument(QJsonObject{{"root", releasePath()}, {"faults", faults}}).toJson());
}

ManifestEntry UpdateScenario::entry(const QString &name, const QString &version, bool digest,
                                    bool signature) const
{
    const QByteArray content = readFile(releasePath(name));
    const QString md5 = digest ? textModeMd5Of(content) : "",
                  sha256 = digest ? sha256Of(content) : "";
    const auto sign = [&](const QString &text) {
        return signature ? signDigest(text, developmentPrivateKey()) : "";
    };
    return {name, version, md5, sign(md5), sha256, sign(sha256)};
}

QByteArray UpdateScenario::manifest(const QString &server, const QString &version,
                                    const Entries &entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update><UpdateServer>" +
                  server.toHtmlEscaped() + "</UpdateServer><Version>" + version.toHtmlEscaped() +
                  "</Version><Files>\n";
    const QStringList tags{"Name", "Version", "MD5", "Signature", "SHA256", "SHA256Signature"};
    for (const ManifestEntry &e : entries) {
        // Read by position: a later element needs the earlier ones, empty or not.
        QStringList texts{e.name, e.version, e.md5, e.signature, e.sha256, e.sha256Signature};
        while (texts.size() > 2 && texts.last().isEmpty())
            texts.removeLast();
        xml += "<File>";
        for (int i = 0; i < texts.size(); ++i)
            xml += QString("<%1>%2</%1>").arg(tags.at(i), texts.at(i).toHtmlEscaped());
        xml += "</File>\n";
    }
    return (xml + "</Files></Update>\n").toUtf8();
}

RunResult UpdateScenario::runAndCloseAfter(const QString &untilLine, int timeoutMs)
{
    if (outsideBefore.isEmpty()) {
        installationBefore = installation();
        outsideBefore = outside();
    }
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(installPath());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(CORVANTILE_E2E_DRIVER, QStringList());
    QByteArray log = "\n";
    const QDeadlineTimer deadline(timeoutMs);
    for (bool closing = untilLine.isEmpty();
         process.state() != QProcess::NotRunning && !deadline.hasExpired();) {
        process.waitForReadyRead(200);
        log += process.readAllStandardError();
        if (!closing && log.contains("\n" + untilLine.toUtf8()))
            closing = process.write("close\n") > 0;
    }
    RunResult result;
    result.finished = process.state() == QProcess::NotRunning;
    process.kill();
    process.waitForFinished();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    log += process.readAllStandardError();
    result.lines = QString::fromUtf8(log).split('\n', Qt::SkipEmptyParts);
    result.boxes = result.lines.filter(QRegularExpression("^MESSAGE BOX "))
                       .replaceInStrings("MESSAGE BOX ", "");
    result.toolStarted = !result.lines.filter(QRegularExpression("^TOOL STARTED ")).isEmpty();
    return result;
}

Files UpdateScenario::outside() const
{
    Files files = filesBelow(root.path());
    for (const QString &name : files.keys())
        if (name.startsWith("install/"))
            files.remove(name);
    return files;
}

QString developmentPrivateKey()
{
    return testDataPath("keys/dev_private.pem");
}
