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

// Makes a key and a certificate with the openssl command, as a publisher or an authority would:
// `name`.pem and `name`.key in `dir`. Without an issuer the certificate signs itself (an
// authority); `days` may be negative, which makes a certificate that has already expired.
bool makeCertificate(const QString &dir, const QString &name, const QString &issuer,
                     const QString &subjectAltName, int days)
{
    const QString base = dir + "/" + name;
    const auto openssl = [](const QStringList &arguments) {
        QProcess process;
        process.start("openssl", arguments);
        const bool done = process.waitForFinished(60000) &&
                          process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!done)
            qWarning().noquote() << process.readAllStandardError();
        return done;
    };
    // Elliptic-curve keys: made in an instant, and checked by TLS as RSA ones are.
    const QStringList newKey{"-newkey",    "ec",      "-pkeyopt",    "ec_paramgen_curve:prime256v1",
                             "-nodes",     "-keyout", base + ".key", "-subj",
                             "/CN=" + name};
    if (issuer.isEmpty())
        return openssl(QStringList{"req", "-x509"} + newKey +
                       QStringList{"-out", base + ".pem", "-days", QString::number(days)});
    writeFile(base + ".ext", "subjectAltName=" + subjectAltName.toUtf8() + "\n");
    const QString issuerBase = dir + "/" + issuer;
    return openssl(QStringList{"req"} + newKey + QStringList{"-out", base + ".csr"}) &&
           openssl({"x509", "-req", "-in", base + ".csr", "-CA", issuerBase + ".pem", "-CAkey",
                    issuerBase + ".key", "-set_serial", "1", "-days", QString::number(days),
                    "-extfile", base + ".ext", "-out", base + ".pem"});
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
};

void TestPublishRoundTrip::initTestCase()
{
    QVERIFY2(!NginxServer::executable().isEmpty(), "nginx is needed (Debian package nginx-light)");
    QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
}

void TestPublishRoundTrip::updateInstallsThePublishedRelease_data()
{
    QTest::addColumn<bool>("withPrevious");
    // Options to scripts/nginx-config.
    QTest::addColumn<QStringList>("serverOptions");

    QTest::newRow("with --previous: unchanged files stay") << true << QStringList();
    QTest::newRow("without --previous: every file is fetched") << false << QStringList();
    // nginx would gzip every answer, chunked and without a length, to a client that accepts it.
    QTest::newRow("served with gzip on")
        << true
        << QStringList{"--directive", "gzip on; gzip_types *; gzip_min_length 1; gzip_vary on;"};
}

void TestPublishRoundTrip::updateInstallsThePublishedRelease()
{
    QFETCH(bool, withPrevious);
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
    QStringList arguments{"make",      "--release", release, "--server", server,
                          "--version", "1.1.0",     "--key", key};
    if (withPrevious)
        arguments << "--previous" << oldRelease + "/update.xml";
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
    const ManifestSummary stored = summaryOf(scenario.installPath("update.xml"));
    const ManifestSummary published = summaryOf(release + "/update.xml");
    QCOMPARE(stored.version, QString("1.1.0"));
    QCOMPARE(stored.version, published.version);
    QCOMPARE(stored.server, published.server);
    QCOMPARE(stored.files, published.files);
    QCOMPARE(stored.digests, published.digests);
    QCOMPARE(stored.signatures, published.signatures);
    QCOMPARE(stored.sha256Digests, published.sha256Digests);
    QCOMPARE(stored.sha256Signatures, published.sha256Signatures);
    QCOMPARE(stored.files.size(), 7);
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
    QCOMPARE(requests.contains(basePath + "/unchanged.dll "), !withPrevious);
    // Its text-mode digest is the same in both releases; its SHA-256 is not.
    QVERIFY2(requests.contains(basePath + "/bin/patched.dll "), qPrintable(requests));
    QCOMPARE(published.files.value("bin/patched.dll"), QString("1.1.0"));
    QCOMPARE(published.files.value("unchanged.dll"), QString(withPrevious ? "1.0.0" : "1.1.0"));
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

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publishroundtrip.moc"
