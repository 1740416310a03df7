// What the publisher makes is what installations get: releases made by corvantile-publish, served
// by nginx on loopback, installed by the real updater (through the unattended driver), and what
// verify --url says of them.
#include "tests/e2e/harness.h"
#include "tests/e2e/nginxserver.h"
#include "tests/testsupport.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// Changes the served copy of a release; `old` holds the release before.
using Serve = std::function<void(const QString &served, const QString &old)>;
Q_DECLARE_METATYPE(Serve)

namespace {

const QString toolName = "CorvantileDevelopmentTool.exe";

void copy(const QMap<QString, QByteArray> &files, const QString &to)
{
    for (auto file = files.begin(); file != files.end(); ++file)
        writeFile(to + "/" + file.key(), file.value());
}

// Release 1.0.0 in `old`, and 1.1.0 made after it in `release`, both for `url`: the tool changed,
// the notes too and in CR LF, a file changed only after its first 0x1A, new files with a 0x1A,
// named beyond Latin-1, and large enough to arrive in many reads; one file removed.
void publishReleases(const QString &old, const QString &release, const QString &url)
{
    QByteArray large;
    for (int i = 0; large.size() < 600 * 1024; ++i)
        large += "record " + QByteArray::number(i) + "\r\n" + QByteArray(97, char('a' + i % 26));
    writeFile(old + "/" + toolName, "MZ tool 1.0.0");
    writeFile(old + "/docs/notes.txt", "first\nsecond\n");
    writeFile(old + "/removed/old.txt", "only in 1.0.0");
    writeFile(old + "/bin/patched.dll", "MZ\x1a code of 1.0.0");
    writeFile(old + "/unchanged.dll", QByteArray("MZ\0\1 the same", 13));
    writeFile(release + "/" + toolName, "MZ tool 1.1.0, a little longer");
    writeFile(release + "/docs/notes.txt", "first\r\nsecond\r\n");
    writeFile(release + "/bin/patched.dll", "MZ\x1a code of 1.1.0");
    writeFile(release + "/unchanged.dll", readFile(old + "/unchanged.dll"));
    writeFile(release + "/bin/marked.dat", QByteArray("before the mark\x1a after it\r\n\0\1", 29));
    writeFile(release + "/数据/钱包.dat", "wallet content");
    writeFile(release + "/media/large.bin", large);
    for (const QString &dir : {old, release}) {
        const PublisherOutcome made =
            publish(QString("make --release %1 --server %2 --version %3 --key %4%5")
                        .arg(dir, url, dir == old ? "1.0.0" : "1.1.0", developmentPrivateKey(),
                             dir == old ? "" : " --previous " + old + "/update.xml")
                        .split(' '));
        QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));
    }
}

} // namespace

class TestPublishRoundTrip : public QObject
{
    Q_OBJECT

    QTemporaryDir certificates;
    QString certificate(const QString &name) const { return certificates.filePath(name); }

private slots:
    // Two authorities, the one the updater is told to trust and one nobody trusts, and server
    // certificates for one key, made by openssl as an authority would.
    void initTestCase()
    {
        QVERIFY2(!NginxServer::executable().isEmpty(), "nginx is needed (package nginx-light)");
        QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
        const auto openssl = [&](const QString &arguments) {
            QProcess process;
            process.setWorkingDirectory(certificates.path());
            process.start("openssl", arguments.split(' '));
            QVERIFY2(process.waitForFinished(60000) && process.exitCode() == 0,
                     qPrintable(process.readAllStandardError()));
        };
        const QString key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ";
        for (const QString name : {"trusted", "unknown"})
            openssl("req -x509 " + key + name + ".key -out " + name + ".pem -subj /CN=" + name);
        openssl("req " + key + "server.key -out server.csr -subj /CN=server");
        for (const QString leaf :
             {"good trusted IP:127.0.0.1 30", "untrusted unknown IP:127.0.0.1 30",
              "otherhost trusted DNS:updates.example.com 30", "expired trusted IP:127.0.0.1 -1"}) {
            const QStringList part = leaf.split(' ');
            writeFile(certificate(part[0]), "subjectAltName=" + part[2].toUtf8());
            openssl("x509 -req -in server.csr -CA " + part[1] + ".pem -CAkey " + part[1] +
                    ".key -set_serial 1 -days " + part[3] + " -extfile " + part[0] + " -out " +
                    part[0] + ".pem");
        }
    }

    // The updater takes a release only from a server whose certificate an authority it trusts
    // issued for the host it asked, and that has not expired; otherwise it asks for nothing.
    void updateInstallsThePublishedRelease_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::newRow("a trusted certificate for the host: the release installs") << "good";
        QTest::newRow("an authority the system does not trust") << "untrusted";
        QTest::newRow("a certificate for another host name") << "otherhost";
        QTest::newRow("an expired certificate") << "expired";
    }

    void updateInstallsThePublishedRelease()
    {
        QFETCH(QString, certificate);
        UpdateScenario scenario;
        scenario.trustAuthority(this->certificate("trusted.pem"));
        // nginx serves the release folder as it is when a request comes: made afterwards.
        const QString release = scenario.releasePath();
        NginxServer nginx;
        QVERIFY2(nginx.start(release, {"--tls", this->certificate(certificate + ".pem"),
                                       this->certificate("server.key")}),
                 qPrintable(nginx.log()));
        QTemporaryDir old;
        publishReleases(old.path(), release, nginx.url("https"));
        copy(filesBelow(old.path()), scenario.installPath());
        const QMap<QString, QByteArray> before = filesBelow(scenario.installPath());
        const RunResult result = scenario.runAndCloseAfter("get serverXml error.");
        if (certificate == "good") {
            QVERIFY2(result.finished && result.exitCode == 0 && result.boxes.isEmpty(),
                     qPrintable(result.log() + "\n" + nginx.log()));
            QVERIFY(result.toolStarted);
            QVERIFY(result.hasLine("\"validate bin/patched.dll\"  SHA256 correctly."));
            // Byte for byte the published release, its manifest stored, nothing else left.
            QCOMPARE(filesBelow(scenario.installPath()), filesBelow(release));
            // Only the files whose version moved came; a name beyond Latin-1 as UTF-8, escaped.
            const QString requests = nginx.requests().join('\n');
            QVERIFY2(
                requests.contains("/%E6%95%B0%E6%8D%AE/%E9%92%B1%E5%8C%85.dat HTTP/1.1\" 200") &&
                    requests.contains("/bin/patched.dll ") &&
                    !requests.contains("/unchanged.dll ") && !requests.contains("\" 404 "),
                qPrintable(requests));
        } else {
            QVERIFY2(result.hasLine("get serverXml error.") && result.exitCode == 1 &&
                         !result.toolStarted,
                     qPrintable(result.log()));
            // The handshake failed: not even the manifest was asked for.
            QVERIFY2(nginx.requests().isEmpty(), qPrintable(nginx.requests().join('\n')));
            QCOMPARE(filesBelow(scenario.installPath()), before);
        }
        QVERIFY(scenario.outsideUnchanged());
    }

    // nginx serves a copy of release 1.1.0 (the folder verify --url compares with), changed as
    // the row says.
    void verifyChecksTheLiveRelease_data()
    {
        QTest::addColumn<QStringList>("options"); // to scripts/nginx-config; FIXTURE: its address
        QTest::addColumn<QJsonObject>("faults");  // of the fixture server, by path
        QTest::addColumn<Serve>("serve");
        QTest::addColumn<QVariantMap>("statuses"); // every file not "ok" in the report
        QTest::addColumn<QString>("detail");       // words the report holds
        const auto row = [](const char *name, const QStringList &options,
                            const QVariantMap &statuses, const QString &detail = {},
                            const Serve &serve = {}, const QJsonObject &faults = {}) {
            QTest::newRow(name) << options << faults << serve << statuses << detail;
        };
        const QString location = "location = " + NginxServer::basePath;
        row("all good", {}, {}, "7 listed: 7 ok, 0 failed");
        row("a file missing", {}, {{"docs/notes.txt", "HTTP 404"}}, {},
            [](const QString &served, const QString &) {
                QFile::remove(served + "/docs/notes.txt");
            });
        row("bytes after the first 0x1A differ: caught by the SHA-256", {},
            {{"bin/marked.dat", "SHA256 MISMATCH"}}, {},
            [](const QString &served, const QString &) {
                writeFile(served + "/bin/marked.dat", "before the mark\x1a other bytes");
            });
        // A cache that kept yesterday's update.xml: installations refuse the new bytes.
        row("an update.xml older than the folder's: a stale cache", {},
            {{"update.xml", "DIFFERS"},
             {toolName, "MD5 MISMATCH"},
             {"removed/old.txt", "HTTP 404"},
             {"bin/patched.dll", "SHA256 MISMATCH"},
             {"docs/notes.txt", "SHA256 MISMATCH"}},
            "a stale cache or a half-finished upload; Version \"1.0.0\" served, \"1.1.0\"",
            [](const QString &served, const QString &old) {
                writeFile(served + "/update.xml", readFile(old + "/update.xml"));
            });
        row("a redirect",
            {"--directive", location + "/docs/notes.txt { return 302 /x/notes.txt; }"},
            {{"docs/notes.txt", "REDIRECTED"}}, "/x/notes.txt");
        // The fixture server states the whole length, sends part of the body and closes; nginx
        // passes on what it got and closes too.
        row("a body cut mid-transfer",
            {"--directive", location + "/media/large.bin { proxy_pass FIXTURE/media/large.bin; }"},
            {{"media/large.bin", "CUT SHORT"}}, {}, {},
            {{"/media/large.bin", QJsonObject{{"cut", 100000}}}});
        // nginx would gzip every answer to a client that accepts it; the request accepts none.
        row("served with gzip on",
            {"--directive", "gzip on; gzip_types *; gzip_min_length 1; gzip_vary on;"}, {},
            "7 listed: 7 ok, 0 failed");
        row("update.xml cached for an hour: a warning", {"--directive", "expires 1h;"}, {},
            "caches may keep it");
        row("an untrusted certificate over HTTPS", {"--tls", "untrusted.pem", "server.key"},
            {{"update.xml", "UNREACHABLE"}}, "certificate");
    }

    void verifyChecksTheLiveRelease()
    {
        QFETCH(QStringList, options);
        QFETCH(QJsonObject, faults);
        QFETCH(Serve, serve);
        QFETCH(QVariantMap, statuses);
        QFETCH(QString, detail);
        // The fixture server and nginx serve the same folder.
        UpdateScenario scenario;
        QVERIFY(faults.isEmpty() || scenario.startServer());
        for (auto fault = faults.begin(); fault != faults.end(); ++fault)
            scenario.setFault(fault.key(), fault.value().toObject());
        const QString url = QString(options.contains("--tls") ? "https" : "http");
        for (QString &option : options)
            option = option.contains(".pem") || option.contains(".key")
                         ? certificate(option)
                         : option.replace("FIXTURE", scenario.serverUrl());
        NginxServer nginx;
        QVERIFY2(nginx.start(scenario.releasePath(), options), qPrintable(nginx.log()));
        QTemporaryDir work;
        publishReleases(work.filePath("old"), work.filePath("new"), nginx.url(url));
        copy(filesBelow(work.filePath("new")), scenario.releasePath());
        if (serve)
            serve(scenario.releasePath(), work.filePath("old"));
        const PublisherOutcome verified =
            publish({"verify", "--url", nginx.url(url), "--key",
                     testDataPath("keys/dev_public.pem"), "--release", work.filePath("new")});
        const QString report = verified.out + verified.err + nginx.log();
        QVariantMap failed;
        for (const QString &line : verified.out.split('\n')) {
            if (line.contains('"') && !line.startsWith("ok "))
                failed.insert(line.section('"', 1, 1), line.section('"', 0, 0).trimmed());
        }
        QCOMPARE(failed, statuses);
        QVERIFY2(verified.out.contains(detail) || verified.err.contains(detail),
                 qPrintable(report));
        // Only the row that asks for it warns of caches.
        QCOMPARE(verified.err.contains("caches may keep it"), detail == "caches may keep it");
        QVERIFY2(verified.status == int(!statuses.isEmpty()), qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publishroundtrip.moc"
