// What the publisher makes is what installations get: releases made by corvantile-publish, served
// by nginx on loopback, installed by the real updater (through the unattended driver).
#include "tests/e2e/harness.h"
#include "tests/e2e/nginxserver.h"

#include "release/manifest.h"
#include "tests/testsupport.h"
#include "tools/publisher.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString basePath = NginxServer::basePath;

// Every regular file below `dir` by relative name, with its bytes; the manifest is not part of
// the release's content.
QMap<QString, QByteArray> treeContent(const QString &dir)
{
    QMap<QString, QByteArray> content;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(dir).relativeFilePath(path);
        if (name != "update.xml")
            content.insert(name, readFile(path));
    }
    return content;
}

void copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        writeFile(to + "/" + QDir(from).relativeFilePath(path), readFile(path));
    }
}

// Ends the old release's files with LF, the new one's with CR LF: the digest does not see the
// difference, the installed bytes must.
const QByteArray oldNotes = "first line\nsecond line\n";
const QByteArray newNotes = "first line\r\nsecond line\r\nthird line\r\n";

QByteArray largeContent()
{
    // Big enough to arrive in many reads; holds CR LF pairs and no 0x1A.
    QByteArray content;
    for (int i = 0; content.size() < 600 * 1024; ++i)
        content += "record " + QByteArray::number(i) + "\r\n" + QByteArray(97, char('a' + i % 26));
    return content;
}

// The release every live check starts from, by name and content in its two versions; only the
// tool changes.
const QString toolName = "CorvantileDevelopmentTool.exe";
const QStringList liveNames{"update.xml", toolName, "bin/marked.dll", "docs/notes.txt",
                            "media/large.bin"};

QMap<QString, QByteArray> liveRelease(const QString &version)
{
    return {{toolName, "MZ tool " + version.toLatin1()},
            {"bin/marked.dll", QByteArrayLiteral("MZ\x1a code after the mark")},
            {"docs/notes.txt", newNotes},
            {"media/large.bin", largeContent()}};
}

// What verify --url is to say of each name: ok, unless the row says otherwise.
QVariantMap liveStatuses(const QVariantMap &otherwise)
{
    QVariantMap statuses;
    for (const QString &name : liveNames)
        statuses.insert(name, "ok");
    for (auto it = otherwise.constBegin(); it != otherwise.constEnd(); ++it)
        statuses.insert(it.key(), it.value());
    return statuses;
}

// The status word of every line that names a file: the word, then the name in double quotes.
QVariantMap statusesIn(const QString &report)
{
    QVariantMap statuses;
    for (const QString &line : report.split('\n')) {
        const int quote = line.indexOf('"');
        if (quote > 0)
            statuses.insert(line.mid(quote + 1, line.indexOf('"', quote + 1) - quote - 1),
                            line.left(quote).trimmed());
    }
    return statuses;
}

} // namespace

class TestPublishRoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void updateInstallsThePublishedRelease_data();
    void updateInstallsThePublishedRelease();
    void updateOverHttpsChecksTheServer_data();
    void updateOverHttpsChecksTheServer();
    void verifyChecksTheLiveRelease_data();
    void verifyChecksTheLiveRelease();
};

void TestPublishRoundTrip::initTestCase()
{
    QVERIFY2(!NginxServer::executable().isEmpty(), "nginx is needed (Debian package nginx-light)");
    QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
}

void TestPublishRoundTrip::updateInstallsThePublishedRelease_data()
{
    // Options to scripts/nginx-config.
    QTest::addColumn<QStringList>("serverOptions");

    QTest::newRow("with --previous: unchanged files stay") << QStringList();
    // nginx would gzip every answer, chunked and without a length, to a client that accepts it.
    QTest::newRow("served with gzip on")
        << QStringList{"--directive", "gzip on; gzip_types *; gzip_min_length 1; gzip_vary on;"};
}

void TestPublishRoundTrip::updateInstallsThePublishedRelease()
{
    QFETCH(QStringList, serverOptions);

    UpdateScenario scenario;
    QTemporaryDir work;
    // Started first: the manifests name the port nginx listens on. It serves the release folder
    // as it is when a request comes, so the release can be made afterwards.
    const QString release = scenario.releasePath();
    NginxServer nginx;
    QVERIFY2(nginx.start(release, serverOptions), qPrintable(nginx.errorLog()));
    const QString server =
        QString("http://127.0.0.1:%1%2").arg(nginx.listeningPort()).arg(basePath);
    const QString key = developmentPrivateKey();
    const QString wallet = QString::fromUtf8("数据/钱包.dat");

    // The installed release, 1.0.0, made by the tool as well.
    const QString oldRelease = work.filePath("1.0.0");
    writeFile(oldRelease + "/CorvantileDevelopmentTool.exe", "MZ tool 1.0.0");
    writeFile(oldRelease + "/unchanged.dll", QByteArrayLiteral("MZ\0\1\2 the same in both"));
    writeFile(oldRelease + "/docs/notes.txt", oldNotes);
    writeFile(oldRelease + "/removed/old.txt", "only in 1.0.0");
    writeFile(oldRelease + "/bin/patched.dll", QByteArrayLiteral("MZ\x1a code of 1.0.0"));
    const PublisherOutcome old = publish(
        {"make", "--release", oldRelease, "--server", server, "--version", "1.0.0", "--key", key});
    QVERIFY2(old.status == PublisherSuccess, qPrintable(old.out + old.err));
    copyTree(oldRelease, scenario.installPath());

    // The published release, 1.1.0: a changed tool, notes changed and now in CR LF, a file
    // changed only after its first 0x1A, a new file with a byte 0x1A, a new file named outside
    // Latin-1, a large new file, one file removed.
    writeFile(release + "/CorvantileDevelopmentTool.exe", "MZ tool 1.1.0, a little longer");
    writeFile(release + "/unchanged.dll", readFile(oldRelease + "/unchanged.dll"));
    writeFile(release + "/docs/notes.txt", newNotes);
    writeFile(release + "/bin/patched.dll", QByteArrayLiteral("MZ\x1a code of 1.1.0"));
    writeFile(release + "/bin/marked.dat",
              QByteArrayLiteral("text before the mark\x1a binary after it\r\n\0\1"));
    writeFile(release + "/" + wallet, "wallet content");
    writeFile(release + "/media/large.bin", largeContent());
    QStringList arguments{"make",
                          "--release",
                          release,
                          "--server",
                          server,
                          "--version",
                          "1.1.0",
                          "--key",
                          key,
                          "--previous",
                          oldRelease + "/update.xml"};
    const PublisherOutcome made = publish(arguments);
    QVERIFY2(made.status == PublisherSuccess, qPrintable(made.out + made.err));

    const RunResult result = scenario.run();

    // A failure message is cut short; the whole log is what tells why.
    if (!result.finished || result.crashed || result.exitCode != 0)
        qWarning().noquote() << result.log() << "\n" << nginx.errorLog();
    QVERIFY(result.finished && !result.crashed && result.exitCode == 0);
    QVERIFY2(result.boxes.isEmpty(), qPrintable(result.log()));
    QVERIFY(result.toolStarted);
    QVERIFY(result.hasLine("Xml updated"));

    // Byte for byte the published release: changed and new files in place, the removed one
    // gone, no staging file left behind.
    const QMap<QString, QByteArray> installed = treeContent(scenario.installPath());
    QCOMPARE(installed.keys(), treeContent(release).keys());
    QCOMPARE(installed, treeContent(release));
    QCOMPARE(installed.value("docs/notes.txt"), newNotes);
    QVERIFY(!QFileInfo::exists(scenario.installPath("removed/old.txt")));

    // The stored manifest says what the published one says.
    QCOMPARE(readFile(scenario.installPath("update.xml")), readFile(release + "/update.xml"));
    const ManifestSummary published = summaryOf(release + "/update.xml");
    QCOMPARE(published.files.size(), 7);
    for (auto file = installed.constBegin(); file != installed.constEnd(); ++file)
        QCOMPARE(published.sha256Digests.value(file.key()), sha256Of(file.value()));
    // Every fetched file passed both digests and both signatures.
    QVERIFY2(result.hasLine("\"validate bin/patched.dll\"  SHA256 correctly."),
             qPrintable(result.log()));
    QVERIFY2(result.hasLine("\"validate media/large.bin\"  SHA256 correctly."),
             qPrintable(result.log()));

    // The files came from nginx, and only those whose file version moved. A file named outside
    // Latin-1 travels percent-encoded as UTF-8.
    const QString requests = nginx.requests().join('\n');
    QVERIFY2(requests.contains("\"GET " + basePath + "/update.xml HTTP/1.1\" 200 "),
             qPrintable(requests));
    QVERIFY2(requests.contains("\"GET " + basePath +
                               "/%E6%95%B0%E6%8D%AE/%E9%92%B1%E5%8C%85.dat HTTP/1.1\" 200 "),
             qPrintable(requests));
    QVERIFY2(!requests.contains(basePath + "/unchanged.dll "), qPrintable(requests));
    // Its text-mode digest is the same in both releases; its SHA-256 is not.
    QVERIFY2(requests.contains(basePath + "/bin/patched.dll "), qPrintable(requests));
    QCOMPARE(published.files.value("bin/patched.dll"), QString("1.1.0"));
    QCOMPARE(published.files.value("unchanged.dll"), QString("1.0.0"));
    QVERIFY2(!requests.contains("\" 404 "), qPrintable(requests));
    QVERIFY(scenario.outsideUnchanged());
}

// Over HTTPS the updater takes a release only from a server whose certificate an authority it
// trusts issued for the host it asked, and that has not expired; otherwise it asks for nothing.
void TestPublishRoundTrip::updateOverHttpsChecksTheServer_data()
{
    QTest::addColumn<QString>("issuer");
    QTest::addColumn<QString>("subjectAltName");
    QTest::addColumn<int>("days");
    QTest::addColumn<bool>("installs");

    QTest::newRow("a trusted certificate for the host: the release installs")
        << "trusted-authority"
        << "IP:127.0.0.1" << 30 << true;
    QTest::newRow("an authority the system does not trust") << "unknown-authority"
                                                            << "IP:127.0.0.1" << 30 << false;
    QTest::newRow("a certificate for another host name")
        << "trusted-authority"
        << "DNS:updates.example.com" << 30 << false;
    QTest::newRow("an expired certificate") << "trusted-authority"
                                            << "IP:127.0.0.1" << -1 << false;
}

void TestPublishRoundTrip::updateOverHttpsChecksTheServer()
{
    QFETCH(QString, issuer);
    QFETCH(QString, subjectAltName);
    QFETCH(int, days);
    QFETCH(bool, installs);

    QTemporaryDir certificates;
    QVERIFY(makeCertificate(certificates.path(), "trusted-authority", {}, {}, 30));
    QVERIFY(makeCertificate(certificates.path(), "unknown-authority", {}, {}, 30));
    QVERIFY(makeCertificate(certificates.path(), "server", issuer, subjectAltName, days));

    UpdateScenario scenario;
    scenario.trustAuthority(certificates.filePath("trusted-authority.pem"));
    const QString release = scenario.releasePath();
    NginxServer nginx;
    QVERIFY2(nginx.start(release, {"--tls", certificates.filePath("server.pem"),
                                   certificates.filePath("server.key")}),
             qPrintable(nginx.errorLog()));
    const QString server = nginx.url("https");
    const QString key = developmentPrivateKey();

    writeFile(scenario.installPath("CorvantileDevelopmentTool.exe"), "MZ tool 1.0.0");
    const PublisherOutcome old = publish({"make", "--release", scenario.installPath(), "--server",
                                          server, "--version", "1.0.0", "--key", key});
    QVERIFY2(old.status == PublisherSuccess, qPrintable(old.err));
    writeFile(release + "/CorvantileDevelopmentTool.exe", "MZ tool 1.1.0");
    writeFile(release + "/bin/marked.dll", QByteArrayLiteral("MZ\x1a what a cut body would lose"));
    const PublisherOutcome made = publish(
        {"make", "--release", release, "--server", server, "--version", "1.1.0", "--key", key});
    QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));
    const QMap<QString, QByteArray> before = treeContent(scenario.installPath());
    const QByteArray manifestBefore = readFile(scenario.installPath("update.xml"));

    if (installs) {
        const RunResult result = scenario.run();
        QVERIFY2(result.finished && result.exitCode == 0 && result.boxes.isEmpty(),
                 qPrintable(result.log() + "\n" + nginx.errorLog()));
        QVERIFY(result.toolStarted);
        QCOMPARE(treeContent(scenario.installPath()), treeContent(release));
        QCOMPARE(readFile(scenario.installPath("update.xml")), readFile(release + "/update.xml"));
    } else {
        const RunResult result = scenario.runAndCloseAfter("get serverXml error.");
        QVERIFY2(result.hasLine("get serverXml error."), qPrintable(result.log()));
        QCOMPARE(result.exitCode, 1);
        QVERIFY(!result.toolStarted);
        // The handshake failed: not even the manifest was asked for.
        QVERIFY2(nginx.requests().isEmpty(), qPrintable(nginx.requests().join('\n')));
        QCOMPARE(treeContent(scenario.installPath()), before);
        QCOMPARE(readFile(scenario.installPath("update.xml")), manifestBefore);
    }
    QVERIFY(scenario.outsideUnchanged());
}

// verify --url meets the release as installations do: nginx serves a copy of the release made by
// the tool, changed as the row says, and the tool checks it against the folder where asked.
void TestPublishRoundTrip::verifyChecksTheLiveRelease_data()
{
    // Options to scripts/nginx-config; "FIXTURE" stands for the fixture server's address.
    QTest::addColumn<QStringList>("serverOptions");
    // Faults of the fixture server, by the path nginx asks it for.
    QTest::addColumn<QJsonObject>("fixtureFaults");
    QTest::addColumn<bool>("overHttps");
    // The release whose update.xml the server gives: 1.1.0, or the 1.0.0 before it.
    QTest::addColumn<QString>("servedManifest");
    // Served files that differ from the release: new content, or none for a file left out.
    QTest::addColumn<QVariantMap>("servedChanges");
    QTest::addColumn<bool>("withFolder");
    QTest::addColumn<QVariantMap>("statuses");
    // Words the report must hold, beside the statuses.
    QTest::addColumn<QString>("detail");
    QTest::addColumn<bool>("cacheWarning");
    QTest::addColumn<int>("exitStatus");

    const QStringList none;
    const QString current = "1.1.0";
    QTest::newRow("all good") << none << QJsonObject() << false << current << QVariantMap() << true
                              << liveStatuses({}) << "" << false << 0;
    QTest::newRow("a file missing")
        << none << QJsonObject() << false << current << QVariantMap{{"docs/notes.txt", QVariant()}}
        << true << liveStatuses({{"docs/notes.txt", "HTTP 404"}}) << "" << false << 1;
    QTest::newRow("bytes after the first 0x1A differ: caught by the SHA-256")
        << none << QJsonObject() << false << current
        << QVariantMap{{"bin/marked.dll", QByteArrayLiteral("MZ\x1a other code after the mark")}}
        << false << liveStatuses({{"bin/marked.dll", "SHA256 MISMATCH"}}) << "" << false << 1;
    // A cache that kept yesterday's update.xml: installations refuse the new tool's bytes.
    QTest::newRow("an update.xml older than the folder's: a stale cache")
        << none << QJsonObject() << false << "1.0.0" << QVariantMap() << true
        << liveStatuses({{"update.xml", "DIFFERS"}, {toolName, "MD5 MISMATCH"}})
        << "a stale cache or a half-finished upload; Version \"1.0.0\" served, \"1.1.0\"" << false
        << 1;
    QTest::newRow("a redirect") << QStringList{"--directive", "location = " + basePath +
                                                                  "/docs/notes.txt { return 302 " +
                                                                  basePath +
                                                                  "/elsewhere/notes.txt; }"}
                                << QJsonObject() << false << current << QVariantMap() << true
                                << liveStatuses({{"docs/notes.txt", "REDIRECTED"}})
                                << "/elsewhere/notes.txt" << false << 1;
    // The fixture server states the whole length, sends part of the body and closes; nginx
    // passes on what it got and closes too.
    QTest::newRow("a body cut mid-transfer")
        << QStringList{"--directive",
                       "location = " + basePath +
                           "/media/large.bin { proxy_pass FIXTURE/media/large.bin; }"}
        << QJsonObject{{"/media/large.bin", QJsonObject{{"cut", 100000}}}} << false << current
        << QVariantMap() << true << liveStatuses({{"media/large.bin", "CUT SHORT"}}) << "" << false
        << 1;
    // nginx would gzip every answer to a client that accepts it; the request accepts none.
    QTest::newRow("served with gzip on")
        << QStringList{"--directive", "gzip on; gzip_types *; gzip_min_length 1; gzip_vary on;"}
        << QJsonObject() << false << current << QVariantMap() << true << liveStatuses({}) << ""
        << false << 0;
    QTest::newRow("update.xml cached for an hour: a warning")
        << QStringList{"--directive", "expires 1h;"} << QJsonObject() << false << current
        << QVariantMap() << true << liveStatuses({}) << "" << true << 0;
    QTest::newRow("an untrusted certificate over HTTPS")
        << none << QJsonObject() << true << current << QVariantMap() << true
        << QVariantMap{{"update.xml", "UNREACHABLE"}} << "certificate" << false << 1;
}

void TestPublishRoundTrip::verifyChecksTheLiveRelease()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(QJsonObject, fixtureFaults);
    QFETCH(bool, overHttps);
    QFETCH(QString, servedManifest);
    QFETCH(QVariantMap, servedChanges);
    QFETCH(bool, withFolder);
    QFETCH(QVariantMap, statuses);
    QFETCH(QString, detail);
    QFETCH(bool, cacheWarning);
    QFETCH(int, exitStatus);

    // The fixture server and nginx serve the same folder.
    UpdateScenario scenario;
    const QString served = scenario.releasePath();
    if (!fixtureFaults.isEmpty()) {
        QVERIFY(scenario.startServer());
        for (auto fault = fixtureFaults.constBegin(); fault != fixtureFaults.constEnd(); ++fault)
            scenario.setFault(fault.key(), fault.value().toObject());
    }
    serverOptions.replaceInStrings("FIXTURE", scenario.serverUrl());
    // A certificate for the host from an authority that nobody trusts.
    QTemporaryDir certificates;
    if (overHttps) {
        QVERIFY(makeCertificate(certificates.path(), "unknown-authority", {}, {}, 30));
        QVERIFY(makeCertificate(certificates.path(), "server", "unknown-authority", "IP:127.0.0.1",
                                30));
        serverOptions << "--tls" << certificates.filePath("server.pem")
                      << certificates.filePath("server.key");
    }
    NginxServer nginx;
    QVERIFY2(nginx.start(served, serverOptions), qPrintable(nginx.errorLog()));
    const QString url = nginx.url(overHttps ? "https" : "http");

    QTemporaryDir work;
    const QString key = developmentPrivateKey();
    for (const QString &version : {QString("1.0.0"), QString("1.1.0")}) {
        const QMap<QString, QByteArray> files = liveRelease(version);
        for (auto file = files.constBegin(); file != files.constEnd(); ++file)
            writeFile(work.filePath(version + "/" + file.key()), file.value());
    }
    const PublisherOutcome old = publish({"make", "--release", work.filePath("1.0.0"), "--server",
                                          url, "--version", "1.0.0", "--key", key});
    QVERIFY2(old.status == PublisherSuccess, qPrintable(old.err));
    const QString release = work.filePath("1.1.0");
    const PublisherOutcome made =
        publish({"make", "--release", release, "--server", url, "--version", "1.1.0", "--key", key,
                 "--previous", work.filePath("1.0.0/update.xml")});
    QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));

    copyTree(release, served);
    writeFile(served + "/update.xml", readFile(work.filePath(servedManifest + "/update.xml")));
    for (auto change = servedChanges.constBegin(); change != servedChanges.constEnd(); ++change) {
        if (change.value().isValid())
            writeFile(served + "/" + change.key(), change.value().toByteArray());
        else
            QVERIFY(QFile::remove(served + "/" + change.key()));
    }

    QStringList arguments{"verify", "--url", url, "--key", testDataPath("keys/dev_public.pem")};
    if (withFolder)
        arguments << "--release" << release;
    const PublisherOutcome verified = publish(arguments);
    const QString report = verified.out + verified.err + nginx.errorLog();
    QCOMPARE(statusesIn(verified.out), statuses);
    QVERIFY2(verified.out.contains(detail), qPrintable(report));
    QVERIFY2(verified.err.contains("caches may keep it") == cacheWarning, qPrintable(report));
    QVERIFY2(verified.status == exitStatus, qPrintable(report));
}

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publishroundtrip.moc"
