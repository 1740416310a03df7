// Verification and installation end to end: what the updater does with each finished download.
#include "tests/e2e/harness.h"

#include <QtTest>

class TestVerification : public QObject
{
    Q_OBJECT

private slots:
    void installed_data();
    void installed();
    void rejected_data();
    void rejected();
    void failedDownloadIsSkipped_data();
    void failedDownloadIsSkipped();
    void unsafeServerNameRefusesTheUpdate_data();
    void unsafeServerNameRefusesTheUpdate();
    void unsafeLocalNameIsNeverDeleted_data();
    void unsafeLocalNameIsNeverDeleted();
    void targetThatCannotBeReplaced();
    void staleLocalDigestDoesNotBlockTheUpdate();
};

namespace {

const QByteArray oldContent = "old content of the file\n";
const QByteArray newContent = "new content of the file, a little longer\n";

// Every file the test knows must hold its old or its new content: never a mix, never nothing.
bool holdsOldOrNew(const UpdateScenario &scenario, const QString &name)
{
    const QByteArray content = scenario.installed(name);
    return content == oldContent || content == newContent;
}

} // namespace

void TestVerification::installed_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("alreadyInstalled");
    QTest::addColumn<bool>("withDigest");
    QTest::addColumn<bool>("withSignature");

    QTest::newRow("new file, digest and signature") << "tool.dll" << false << true << true;
    QTest::newRow("replaced file, digest and signature") << "tool.dll" << true << true << true;
    QTest::newRow("digest only") << "tool.dll" << true << true << false;
    QTest::newRow("no digest") << "tool.dll" << true << false << false;
    QTest::newRow(".update inside the name") << "bin/a.update.dll" << true << true << true;
    QTest::newRow("outside Latin-1") << QString::fromUtf8("数据/钱包.dat") << true << true << true;
}

void TestVerification::installed()
{
    QFETCH(QString, name);
    QFETCH(bool, alreadyInstalled);
    QFETCH(bool, withDigest);
    QFETCH(bool, withSignature);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    if (alreadyInstalled)
        scenario.install(name, oldContent);
    scenario.installManifest("1.0.0", {{name, "1.0.0", "", ""}});
    scenario.publish(name, newContent);
    scenario.publishManifest("2.0.0", {scenario.entry(name, "2.0.0", withDigest, withSignature)});

    const RunResult result = scenario.run();

    QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
    QVERIFY(result.toolStarted);
    QCOMPARE(scenario.installed(name), newContent);
    QVERIFY(!scenario.isInstalled(name + ".update"));
    QVERIFY(result.hasLine("Xml updated"));
    QCOMPARE(result.hasLine(QString("\"download %1\"  correctly.").arg(name)), withDigest);
    QCOMPARE(result.hasLine(QString("\"validate %1\"  correctly.").arg(name)), withSignature);
    QVERIFY(result.hasLine(
        QString("remove  \"%1\" %2").arg(name, alreadyInstalled ? "true" : "false")));
    QVERIFY(result.hasLine("rename  true"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::rejected_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("box");

    QTest::newRow("altered body") << "altered"
                                  << "Downloading tool.dll failed! Check MD5 error.";
    QTest::newRow("upper-case digest") << "upper"
                                       << "Downloading tool.dll failed! Check MD5 error.";
    QTest::newRow("signature from another key")
        << "other key"
        << "Downloading tool.dll failed! Check signature error.";
    QTest::newRow("signature over another digest")
        << "other digest"
        << "Downloading tool.dll failed! Check signature error.";
    QTest::newRow("backslash name is checked too")
        << "backslash"
        << "Downloading sub/tool.dll failed! Check MD5 error.";
}

void TestVerification::rejected()
{
    QFETCH(QString, how);
    QFETCH(QString, box);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    const QString name = how == "backslash" ? "sub\\tool.dll" : "tool.dll";
    const QString localName = how == "backslash" ? "sub/tool.dll" : "tool.dll";
    scenario.install(localName, oldContent);
    scenario.installManifest("1.0.0", {{name, "1.0.0", "", ""}});
    scenario.publish(name, newContent);
    ManifestEntry entry = scenario.entry(name, "2.0.0");
    if (how == "altered" || how == "backslash")
        scenario.publish(name, newContent + "tampered");
    if (how == "upper")
        entry.md5 = entry.md5.toUpper();
    if (how == "other key")
        entry.signature = signDigest(entry.md5, otherPrivateKey());
    if (how == "other digest")
        entry.signature = signDigest(md5Hex("something else"), developmentPrivateKey());
    scenario.publishManifest("2.0.0", {entry});
    const QByteArray localManifest = scenario.installed("update.xml");

    const RunResult result = scenario.run();

    QVERIFY2(result.boxes == QStringList{"CorvantileUpdate | " + box}, qPrintable(result.log()));
    QVERIFY(result.exitCode != 0);
    QVERIFY(!result.crashed);
    QVERIFY(!result.toolStarted);
    QCOMPARE(scenario.installed(localName), oldContent);
    QVERIFY(scenario.isInstalled(localName + ".update"));
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::failedDownloadIsSkipped_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("box");

    QTest::newRow("404") << QJsonObject{{"status", 404}} << "Download failed: Error transferring";
    QTest::newRow("500") << QJsonObject{{"status", 500}} << "Download failed: Error transferring";
    QTest::newRow("cut mid-way") << QJsonObject{{"cut", 10}} << "Download failed: ";
    QTest::newRow("redirect") << QJsonObject{{"redirect", "/b.dll"}}
                              << "Download failed: HTTP status 302";
    // Qt takes the informational answer for the answer; the real one, left on the connection,
    // must not be read as b.dll's.
    QTest::newRow("103 Early Hints before the answer")
        << QJsonObject{{"early_hints", true}} << "Download failed: HTTP status 103";
}

void TestVerification::failedDownloadIsSkipped()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, box);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("a.dll", oldContent);
    scenario.install("b.dll", oldContent);
    scenario.installManifest("1.0.0", {{"a.dll", "1.0.0", "", ""}, {"b.dll", "1.0.0", "", ""}});
    scenario.publish("a.dll", "a.dll's " + newContent);
    scenario.publish("b.dll", newContent);
    // Without a digest, a failed transfer would otherwise be installed unchecked.
    scenario.publishManifest("2.0.0", {scenario.entry("a.dll", "2.0.0", false, false),
                                       scenario.entry("b.dll", "2.0.0")});
    scenario.setFault("/a.dll", fault);
    const QByteArray localManifest = scenario.installed("update.xml");

    const RunResult result = scenario.run();

    QCOMPARE(result.boxes.size(), 1);
    QVERIFY2(result.boxes.first().startsWith("CorvantileUpdate | " + box),
             qPrintable(result.log()));
    QCOMPARE(scenario.installed("a.dll"), oldContent);
    QVERIFY(!scenario.isInstalled("a.dll.update"));
    // The next file still follows; the run is incomplete, so the old manifest stays and the
    // exit status says so, but the tool is started.
    QCOMPARE(scenario.installed("b.dll"), newContent);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(!result.hasLine("Xml updated"));
    QVERIFY(result.toolStarted);
    QVERIFY(result.exitCode != 0);
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::unsafeServerNameRefusesTheUpdate_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("empty") << "";
    QTest::newRow("parent") << "../evil.txt";
    QTest::newRow("parent backslash") << "..\\evil.txt";
    QTest::newRow("parent inside") << "sub/../../evil.txt";
    QTest::newRow("absolute") << QDir::tempPath() + "/corvantile-evil.txt";
    QTest::newRow("drive absolute") << "C:\\evil.txt";
    QTest::newRow("drive relative") << "C:evil.txt";
    QTest::newRow("unc") << "\\\\server\\share\\evil.txt";
    QTest::newRow("the installation's manifest") << "update.xml";
    QTest::newRow("a device") << "NUL";
}

void TestVerification::unsafeServerNameRefusesTheUpdate()
{
    QFETCH(QString, name);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("a.dll", oldContent);
    scenario.install("obsolete.dll", oldContent);
    scenario.installManifest("1.0.0",
                             {{"a.dll", "1.0.0", "", ""}, {"obsolete.dll", "1.0.0", "", ""}});
    scenario.publish("a.dll", newContent);
    scenario.publishManifest(
        "2.0.0", {scenario.entry("a.dll", "2.0.0"), {name, "2.0.0", md5Hex(newContent), ""}});
    const QByteArray localManifest = scenario.installed("update.xml");

    const RunResult result = scenario.run();

    QCOMPARE(result.boxes.size(), 1);
    QVERIFY2(result.boxes.first().startsWith("CorvantileUpdate | ") &&
                 result.boxes.first().contains("\"" + name + "\""),
             qPrintable(result.log()));
    QVERIFY(result.exitCode != 0);
    QVERIFY(!result.toolStarted);
    QCOMPARE(scenario.requests(), QStringList{"/update.xml"});
    QCOMPARE(scenario.installed("a.dll"), oldContent);
    QCOMPARE(scenario.installed("obsolete.dll"), oldContent);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(!QFile::exists(QDir::tempPath() + "/corvantile-evil.txt"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::unsafeLocalNameIsNeverDeleted_data()
{
    QTest::addColumn<QString>("name");
    // outside.txt stands beside the installation directory.
    QTest::newRow("parent") << "../outside.txt";
    QTest::newRow("parent backslash") << "..\\outside.txt";
    QTest::newRow("through a subfolder") << "sub/../../outside.txt";
}

void TestVerification::unsafeLocalNameIsNeverDeleted()
{
    QFETCH(QString, name);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    QDir().mkpath(scenario.installPath("sub"));
    scenario.installManifest("1.0.0", {{name, "1.0.0", "", ""}});
    scenario.publish("a.dll", newContent);
    scenario.publishManifest("2.0.0", {scenario.entry("a.dll", "2.0.0")});

    const RunResult result = scenario.run();

    QCOMPARE(result.exitCode, 0);
    QCOMPARE(scenario.installed("a.dll"), newContent);
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::targetThatCannotBeReplaced()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    // A folder gives way to a file only when all it holds is files the release drops.
    scenario.install("a.dll/inside/kept.txt", oldContent);
    scenario.install("b.dll", oldContent);
    scenario.installManifest("1.0.0", {{"b.dll", "1.0.0", "", ""}});
    scenario.publish("a.dll", newContent);
    scenario.publish("b.dll", newContent);
    scenario.publishManifest("2.0.0",
                             {scenario.entry("a.dll", "2.0.0"), scenario.entry("b.dll", "2.0.0")});
    const QByteArray localManifest = scenario.installed("update.xml");

    const RunResult result = scenario.run();

    QCOMPARE(result.boxes.size(), 1);
    QVERIFY2(
        result.boxes.first().startsWith("CorvantileUpdate | Unable to install the file a.dll: "),
        qPrintable(result.log()));
    QVERIFY(result.hasLine("remove  \"a.dll\" false"));
    QVERIFY(result.hasLine("rename  false"));
    QCOMPARE(scenario.installed("a.dll/inside/kept.txt"), oldContent);
    QCOMPARE(scenario.installed("b.dll"), newContent);
    QVERIFY(holdsOldOrNew(scenario, "b.dll"));
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(result.toolStarted);
    QVERIFY(result.exitCode != 0);
    QVERIFY(scenario.outsideUnchanged());
}

void TestVerification::staleLocalDigestDoesNotBlockTheUpdate()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("tool.dll", oldContent);
    scenario.publish("tool.dll", oldContent);
    // The installed manifest vouches for the old file; the server's entry carries no digest.
    const ManifestEntry oldEntry = scenario.entry("tool.dll", "1.0.0");
    scenario.installManifest("1.0.0", {oldEntry});
    scenario.publish("tool.dll", newContent);
    scenario.publishManifest("2.0.0", {{"tool.dll", "2.0.0", "", ""}});

    const RunResult result = scenario.run();

    QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
    QCOMPARE(scenario.installed("tool.dll"), newContent);
    QVERIFY(result.hasLine("Xml updated"));
}

QTEST_GUILESS_MAIN(TestVerification)
#include "tst_verification.moc"
