// What the publisher makes is what installations get: releases made by corvantile-publish, served
// by nginx on loopback over TLS, installed by the real updater (through the unattended driver);
// and what verify --url says of a live release.
#include "tests/e2e/harness.h"
#include "tests/e2e/nginxserver.h"
#include "tests/testsupport.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString toolName = "CorvantileDevelopmentTool.exe";
const QStringList liveNames{"update.xml", toolName, "bin/marked.dll", "docs/notes.txt",
                            "media/large.bin"};

// Big enough to arrive in many reads; CR LF pairs and no 0x1A.
QByteArray large()
{
    QByteArray content;
    for (int i = 0; content.size() < 600 * 1024; ++i)
        content += "record " + QByteArray::number(i) + "\r\n" + QByteArray(97, char('a' + i % 26));
    return content;
}

void make(const QString &dir, const QString &url, const QString &version,
          const QString &previous = {})
{
    QStringList arguments{"make",     "--release", dir,
                          "--server", url,         "--version",
                          version,    "--key",     developmentPrivateKey()};
    const PublisherOutcome made =
        publish(previous.isEmpty() ? arguments : arguments << "--previous" << previous);
    QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));
}

void copy(const QMap<QString, QByteArray> &files, const QString &to)
{
    for (auto file = files.begin(); file != files.end(); ++file)
        writeFile(to + "/" + file.key(), file.value());
}

} // namespace

class TestPublishRoundTrip : public QObject
{
    Q_OBJECT

    QTemporaryDir certificates;
    QString certificate(const QString &name) const { return certificates.filePath(name); }

private slots:
    // Two authorities, the trusted one and one nobody trusts, and server certificates from them
    // for one key: openssl as an authority would run it.
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
        const QStringList leaves{
            "good trusted IP:127.0.0.1 30", "untrusted unknown IP:127.0.0.1 30",
            "otherhost trusted DNS:updates.example.com 30", "expired trusted IP:127.0.0.1 -1"};
        for (const QString &leaf : leaves) {
            const QStringList part = leaf.split(' ');
            writeFile(certificate(part[0] + ".ext"), "subjectAltName=" + part[2].toUtf8());
            openssl("x509 -req -in server.csr -CA " + part[1] + ".pem -CAkey " + part[1] +
                    ".key -set_serial 1 -days " + part[3] + " -extfile " + part[0] + ".ext -out " +
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
        const QString url = nginx.url("https");

        // 1.0.0 installed, made by the tool as well; its notes end in LF, 1.1.0's in CR LF.
        QTemporaryDir old;
        copy({{toolName, "MZ tool 1.0.0"},
              {"unchanged.dll", QByteArrayLiteral("MZ\0\1\2 the same in both")},
              {"docs/notes.txt", "first line\nsecond line\n"},
              {"removed/old.txt", "only in 1.0.0"},
              {"bin/patched.dll", QByteArrayLiteral("MZ\x1a code of 1.0.0")}},
             old.path());
        make(old.path(), url, "1.0.0");
        copy(filesBelow(old.path()), scenario.installPath());
        // 1.1.0: the tool and the notes changed, a file changed only after its first 0x1A, new
        // files with a 0x1A, named outside Latin-1, and large; one file removed.
        copy({{toolName, "MZ tool 1.1.0, a little longer"},
              {"unchanged.dll", QByteArrayLiteral("MZ\0\1\2 the same in both")},
              {"docs/notes.txt", "first line\r\nsecond line\r\nthird line\r\n"},
              {"bin/patched.dll", QByteArrayLiteral("MZ\x1a code of 1.1.0")},
              {"bin/marked.dat", QByteArrayLiteral("before the mark\x1a after it\r\n\0\1")},
              {QString::fromUtf8("数据/钱包.dat"), "wallet content"},
              {"media/large.bin", large()}},
             release);
        make(release, url, "1.1.0", old.filePath("update.xml"));
        const QMap<QString, QByteArray> before = filesBelow(scenario.installPath());

        if (certificate == "good") {
            const RunResult result = scenario.run();
            QVERIFY2(result.finished && result.exitCode == 0 && result.boxes.isEmpty(),
                     qPrintable(result.log() + "\n" + nginx.log()));
            QVERIFY(result.toolStarted);
            QVERIFY2(result.hasLine("\"validate bin/patched.dll\"  SHA256 correctly."),
                     qPrintable(result.log()));
            // Byte for byte the published release, its manifest stored, nothing else left.
            QCOMPARE(filesBelow(scenario.installPath()), filesBelow(release));
            // Only the files whose version moved came; a name outside Latin-1 travels
            // percent-encoded as UTF-8.
            const QString requests = nginx.requests().join('\n');
            QVERIFY2(
                requests.contains("/%E6%95%B0%E6%8D%AE/%E9%92%B1%E5%8C%85.dat HTTP/1.1\" 200") &&
                    requests.contains("/bin/patched.dll ") &&
                    !requests.contains("/unchanged.dll ") && !requests.contains("\" 404 "),
                qPrintable(requests));
        } else {
            const RunResult result = scenario.runAndCloseAfter("get serverXml error.");
            QVERIFY2(result.hasLine("get serverXml error."), qPrintable(result.log()));
            QCOMPARE(result.exitCode, 1);
            QVERIFY(!result.toolStarted);
            // The handshake failed: not even the manifest was asked for.
            QVERIFY2(nginx.requests().isEmpty(), qPrintable(nginx.requests().join('\n')));
            QCOMPARE(filesBelow(scenario.installPath()), before);
        }
        QVERIFY(scenario.outsideUnchanged());
    }

    // nginx serves a copy of release 1.1.0 made by the tool, changed as the row says; verify
    // --url checks it, against the folder where asked.
    void verifyChecksTheLiveRelease_data()
    {
        // Options to scripts/nginx-config; FIXTURE stands for the fixture server's address.
        QTest::addColumn<QStringList>("options");
        // Served files that differ from the release: new content, or null for a file left out.
        QTest::addColumn<QVariantMap>("changes");
        // What the report says of each name ("ok" for the names not given, unless UNREACHABLE),
        // and words it holds.
        QTest::addColumn<QVariantMap>("statuses");
        QTest::addColumn<QString>("detail");
        // The fixture server's faults, by the path nginx asks it for.
        QTest::addColumn<QJsonObject>("faults");
        // The update.xml served is 1.0.0's, the release's before.
        QTest::addColumn<bool>("stale");
        QTest::addColumn<bool>("withFolder");
        const auto row = [](const char *name, const QStringList &options,
                            const QVariantMap &changes, const QVariantMap &statuses,
                            const QString &detail = {}, const QJsonObject &faults = {},
                            bool stale = false, bool withFolder = true) {
            QTest::newRow(name) << options << changes << statuses << detail << faults << stale
                                << withFolder;
        };
        const QString location = "location = " + NginxServer::basePath;
        row("all good", {}, {}, {});
        row("a file missing", {}, {{"docs/notes.txt", QVariant()}},
            {{"docs/notes.txt", "HTTP 404"}});
        row("bytes after the first 0x1A differ: caught by the SHA-256", {},
            {{"bin/marked.dll", QByteArrayLiteral("MZ\x1a other code after the mark")}},
            {{"bin/marked.dll", "SHA256 MISMATCH"}}, {}, {}, false, false);
        // A cache that kept yesterday's update.xml: installations refuse the new tool's bytes.
        row("an update.xml older than the folder's: a stale cache", {}, {},
            {{"update.xml", "DIFFERS"}, {toolName, "MD5 MISMATCH"}},
            "a stale cache or a half-finished upload; Version \"1.0.0\" served, \"1.1.0\"", {},
            true);
        row("a redirect",
            {"--directive", location + "/docs/notes.txt { return 302 " + NginxServer::basePath +
                                "/x/notes.txt; }"},
            {}, {{"docs/notes.txt", "REDIRECTED"}}, "/x/notes.txt");
        // The fixture server states the whole length, sends part of the body and closes; nginx
        // passes on what it got and closes too.
        row("a body cut mid-transfer",
            {"--directive", location + "/media/large.bin { proxy_pass FIXTURE/media/large.bin; }"},
            {}, {{"media/large.bin", "CUT SHORT"}}, {},
            {{"/media/large.bin", QJsonObject{{"cut", 100000}}}});
        // nginx would gzip every answer to a client that accepts it; the request accepts none.
        row("served with gzip on",
            {"--directive", "gzip on; gzip_types *; gzip_min_length 1; gzip_vary on;"}, {}, {});
        row("update.xml cached for an hour: a warning", {"--directive", "expires 1h;"}, {}, {},
            "caches may keep it");
        row("an untrusted certificate over HTTPS", {"--tls", "untrusted.pem", "server.key"}, {},
            {{"update.xml", "UNREACHABLE"}}, "certificate");
    }

    void verifyChecksTheLiveRelease()
    {
        QFETCH(QStringList, options);
        QFETCH(QVariantMap, changes);
        QFETCH(QVariantMap, statuses);
        QFETCH(QString, detail);
        QFETCH(QJsonObject, faults);
        QFETCH(bool, stale);
        QFETCH(bool, withFolder);
        // The fixture server and nginx serve the same folder.
        UpdateScenario scenario;
        const QString served = scenario.releasePath();
        if (!faults.isEmpty()) {
            QVERIFY(scenario.startServer());
            for (auto fault = faults.begin(); fault != faults.end(); ++fault)
                scenario.setFault(fault.key(), fault.value().toObject());
        }
        const bool https = options.contains("--tls");
        for (QString &option : options)
            option = option.endsWith(".pem") || option.endsWith(".key")
                         ? certificate(option)
                         : option.replace("FIXTURE", scenario.serverUrl());
        NginxServer nginx;
        QVERIFY2(nginx.start(served, options), qPrintable(nginx.log()));
        const QString url = nginx.url(https ? "https" : "http");

        QTemporaryDir work;
        for (const QString &version : {QString("1.0.0"), QString("1.1.0")})
            copy({{toolName, "MZ tool " + version.toLatin1()},
                  {"bin/marked.dll", QByteArrayLiteral("MZ\x1a code after the mark")},
                  {"docs/notes.txt", "first line\r\nsecond line\r\n"},
                  {"media/large.bin", large()}},
                 work.filePath(version));
        make(work.filePath("1.0.0"), url, "1.0.0");
        const QString release = work.filePath("1.1.0");
        make(release, url, "1.1.0", work.filePath("1.0.0/update.xml"));
        copy(filesBelow(release), served);
        if (stale)
            writeFile(served + "/update.xml", readFile(work.filePath("1.0.0/update.xml")));
        for (auto change = changes.begin(); change != changes.end(); ++change) {
            if (change->isValid())
                writeFile(served + "/" + change.key(), change->toByteArray());
            else
                QVERIFY(QFile::remove(served + "/" + change.key()));
        }

        QStringList arguments{"verify", "--url", url, "--key", testDataPath("keys/dev_public.pem")};
        const PublisherOutcome verified =
            publish(withFolder ? arguments << "--release" << release : arguments);
        const QString report = verified.out + verified.err + nginx.log();
        QVariantMap expected = statuses;
        for (const QString &name : liveNames) {
            if (!expected.contains(name) && statuses.value("update.xml") != "UNREACHABLE")
                expected.insert(name, "ok");
        }
        QVariantMap reported;
        for (const QString &line : verified.out.split('\n')) {
            if (line.contains('"'))
                reported.insert(line.section('"', 1, 1), line.section('"', 0, 0).trimmed());
        }
        QCOMPARE(reported, expected);
        QVERIFY2(verified.out.contains(detail) || verified.err.contains(detail),
                 qPrintable(report));
        // Only the row that asks for it warns of caches.
        QVERIFY2(verified.err.contains("caches may keep it") == (detail == "caches may keep it"),
                 qPrintable(report));
        QVERIFY2(verified.status == int(!statuses.isEmpty()), qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publishroundtrip.moc"
