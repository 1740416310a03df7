// Releases made by corvantile-publish, served by nginx on loopback, installed by the real
// updater, and checked by verify --url.
#include "tests/e2e/harness.h"
#include "tests/e2e/nginxserver.h"

#include <QJsonObject>
#include <QtTest>

// Changes the served copy of a release; `old` holds the release before it.
using Dir = const QString &;
using Serve = std::function<void(Dir served, Dir old)>;
Q_DECLARE_METATYPE(Serve)

namespace {

// 1.0.0 in `old` and 1.1.0 after it in `release`: a file changed only after its first 0x1A, one
// unchanged, one removed, new ones named beyond Latin-1 and large (CR LF pairs, many reads).
void publishReleases(const QString &old, const QString &release, const QString &url)
{
    QByteArray large;
    for (int i = 0; large.size() < 600 * 1024; ++i)
        large += "record " + QByteArray::number(i) + "\r\n" + QByteArray(97, char('a' + i % 26));
    writeFile(old + "/CorvantileDevelopmentTool.exe", "MZ tool 1.0.0");
    writeFile(old + "/removed/old.txt", "only in 1.0.0");
    writeFile(old + "/bin/patched.dll", "MZ\x1a code of 1.0.0");
    writeFile(release + "/CorvantileDevelopmentTool.exe", "MZ tool 1.1.0, a little longer");
    writeFile(release + "/bin/patched.dll", "MZ\x1a code of 1.1.0");
    writeFile(release + "/数据/钱包.dat", "wallet");
    writeFile(release + "/media/large.bin", large);
    for (const QString &dir : {old, release}) {
        writeFile(dir + "/unchanged.dll", QByteArray("MZ\0\1 the same", 13));
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
    // An authority the updater is told to trust, one nobody trusts, and certificates from them.
    void initTestCase()
    {
        QVERIFY2(!NginxServer::executable().isEmpty(), "nginx is needed (package nginx-light)");
        QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
        writeFile(certificate("san"),
                  "[ip]\nsubjectAltName=IP:127.0.0.1\n[dns]\nsubjectAltName=DNS:example.com\n");
        const QString key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ";
        const QString leaf = "x509 -req -in server.csr -set_serial 1 -extfile san -CAkey ";
        for (const QString &command :
             {"req -x509 -subj /CN=trusted -out trusted.pem" + key + "trusted.key",
              "req -x509 -subj /CN=unknown -out unknown.pem" + key + "unknown.key",
              "req -subj /CN=server -out server.csr" + key + "server.key",
              leaf + "trusted.key -CA trusted.pem -extensions ip -days 30 -out good.pem",
              leaf + "unknown.key -CA unknown.pem -extensions ip -days 30 -out untrusted.pem",
              leaf + "trusted.key -CA trusted.pem -extensions dns -days 30 -out otherhost.pem",
              leaf + "trusted.key -CA trusted.pem -extensions ip -days -1 -out expired.pem"}) {
            QProcess process;
            process.setWorkingDirectory(certificates.path());
            process.start("openssl", command.split(' '));
            QVERIFY2(process.waitForFinished() && process.exitCode() == 0,
                     qPrintable(process.readAllStandardError()));
        }
    }

    // The updater takes a release only from a server whose certificate an authority it trusts
    // issued for the host it asked, and that has not expired; otherwise it asks for nothing.
    void updateInstallsThePublishedRelease_data()
    {
        QTest::addColumn<QString>("leaf");
        QTest::newRow("a trusted certificate for the host: the release installs") << "good";
        QTest::newRow("an authority the system does not trust") << "untrusted";
        QTest::newRow("a certificate for another host name") << "otherhost";
        QTest::newRow("an expired certificate") << "expired";
    }

    void updateInstallsThePublishedRelease()
    {
        QFETCH(QString, leaf);
        UpdateScenario scenario;
        scenario.trustAuthority(certificate("trusted.pem"));
        NginxServer nginx;
        const QStringList tls{"--tls", certificate(leaf + ".pem"), certificate("server.key")};
        QVERIFY2(nginx.start(scenario.releasePath(), tls), qPrintable(nginx.log()));
        // nginx serves the folder as it is when a request comes: the release is made afterwards.
        publishReleases(scenario.installPath(), scenario.releasePath(), nginx.url("https"));
        const RunResult result = scenario.runAndCloseAfter("get serverXml error.");
        const QString requests = nginx.log("access.log");
        const bool good = leaf == "good";
        QVERIFY2(result.finished && result.exitCode == int(!good) && result.toolStarted == good &&
                     (result.boxes.isEmpty() || !good) &&
                     result.hasLine(good ? "\"validate bin/patched.dll\"  SHA256 correctly."
                                         : "get serverXml error."),
                 qPrintable(result.log() + "\n" + nginx.log()));
        // Byte for byte the published release, its manifest stored, nothing else left; or nothing.
        QVERIFY(good ? scenario.installation() == filesBelow(scenario.releasePath())
                     : scenario.installationUnchanged());
        // Only the files whose version moved came, a name beyond Latin-1 as UTF-8, escaped; when
        // the handshake failed, not even the manifest was asked for.
        QVERIFY2(
            good ? requests.contains("/%E6%95%B0%E6%8D%AE/%E9%92%B1%E5%8C%85.dat HTTP/1.1\" 200") &&
                       requests.contains("/bin/patched.dll ") &&
                       !requests.contains("/unchanged.dll ") && !requests.contains("\" 404 ")
                 : requests.isEmpty(),
            qPrintable(requests));
        QVERIFY(scenario.outsideUnchanged());
    }

    // nginx serves release 1.1.0 as the row changes it; verify --url checks it against the
    // release folder.
    void verifyChecksTheLiveRelease_data()
    {
        // To scripts/nginx-config, FIXTURE and CERTS standing for the fixture server's address and
        // the certificates' folder; the fixture server's faults by path.
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<Serve>("serve");
        QTest::addColumn<QVariantMap>("statuses"); // of every file not "ok" in the report
        QTest::addColumn<QString>("detail");       // words the report holds
        const auto row = [](const char *name, const QStringList &options,
                            const QVariantMap &statuses, const QString &detail = {},
                            const Serve &serve = {}, const QJsonObject &faults = {}) {
            QTest::newRow(name) << options << faults << serve << statuses << detail;
        };
        const QString location = "location = " + NginxServer::basePath;
        row("all good", {}, {}, "5 listed: 5 ok, 0 failed");
        row("a file missing", {}, {{"unchanged.dll", "HTTP 404"}}, {},
            [](Dir served, Dir) { QFile::remove(served + "/unchanged.dll"); });
        row("bytes after the first 0x1A differ: caught by the SHA-256", {},
            {{"bin/patched.dll", "SHA256 MISMATCH"}}, {},
            [](Dir served, Dir) { writeFile(served + "/bin/patched.dll", "MZ\x1a other code"); });
        // A cache that kept yesterday's update.xml: installations refuse the new bytes.
        row("an update.xml older than the folder's: a stale cache", {},
            {{"update.xml", "DIFFERS"},
             {"CorvantileDevelopmentTool.exe", "MD5 MISMATCH"},
             {"removed/old.txt", "HTTP 404"},
             {"bin/patched.dll", "SHA256 MISMATCH"}},
            "a stale cache or a half-finished upload; Version \"1.0.0\" served, \"1.1.0\"",
            [](Dir served, Dir old) {
                writeFile(served + "/update.xml", readFile(old + "/update.xml"));
            });
        row("an update.xml with the same entries, written otherwise", {},
            {{"update.xml", "DIFFERS"}}, "the same entries, written otherwise",
            [](Dir served, Dir) {
                writeFile(served + "/update.xml", readFile(served + "/update.xml") + "\n");
            });
        row("a redirect",
            {"--directive", location + "/unchanged.dll { return 302 /x/unchanged.dll; }"},
            {{"unchanged.dll", "REDIRECTED"}}, "/x/unchanged.dll");
        // The fixture server states the whole length, sends part of the body and closes; nginx
        // passes on what it got and closes too.
        row("a body cut mid-transfer",
            {"--directive", location + "/media/large.bin { proxy_pass FIXTURE/media/large.bin; }"},
            {{"media/large.bin", "CUT SHORT"}}, {}, {},
            {{"/media/large.bin", QJsonObject{{"cut", 100000}}}});
        // nginx would gzip every answer to a client that accepts it; the request accepts none.
        row("served with gzip on", {"--directive", "gzip on; gzip_types *; gzip_min_length 1;"}, {},
            "5 listed: 5 ok, 0 failed");
        row("update.xml cached for an hour: a warning", {"--directive", "expires 1h;"}, {},
            "caches may keep it");
        row("an untrusted certificate over HTTPS",
            {"--tls", "CERTS/untrusted.pem", "CERTS/server.key"}, {{"update.xml", "UNREACHABLE"}},
            "certificate");
    }

    void verifyChecksTheLiveRelease()
    {
        QFETCH(QStringList, options);
        QFETCH(QJsonObject, faults);
        QFETCH(Serve, serve);
        QFETCH(QVariantMap, statuses);
        QFETCH(QString, detail);
        UpdateScenario scenario;
        QVERIFY(faults.isEmpty() || scenario.startServer());
        for (auto fault = faults.begin(); fault != faults.end(); ++fault)
            scenario.setFault(fault.key(), fault.value().toObject());
        const QString scheme = options.contains("--tls") ? "https" : "http";
        for (QString &option : options)
            option.replace("FIXTURE", scenario.serverUrl()).replace("CERTS", certificates.path());
        NginxServer nginx;
        QVERIFY2(nginx.start(scenario.releasePath(), options), qPrintable(nginx.log()));
        QTemporaryDir work;
        publishReleases(work.filePath("old"), work.filePath("new"), nginx.url(scheme));
        publishReleases(work.filePath("old2"), scenario.releasePath(), nginx.url(scheme));
        if (serve)
            serve(scenario.releasePath(), work.filePath("old"));
        const PublisherOutcome verified =
            publish({"verify", "--url", nginx.url(scheme), "--key",
                     testDataPath("keys/dev_public.pem"), "--release", work.filePath("new")});
        const QString report = verified.out + verified.err + nginx.log();
        QVariantMap failed;
        for (const QString &line : verified.out.split('\n'))
            if (line.contains('"') && !line.startsWith("ok "))
                failed.insert(line.section('"', 1, 1), line.section('"', 0, 0).trimmed());
        QCOMPARE(failed, statuses);
        QVERIFY2((verified.out + verified.err).contains(detail), qPrintable(report));
        // Only the row that asks for it warns of caches.
        QCOMPARE(verified.err.contains("caches may keep it"), detail == "caches may keep it");
        QVERIFY2(verified.status == int(!statuses.isEmpty()), qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publishroundtrip.moc"
