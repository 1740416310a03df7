// Verification and installation end to end: what the updater does with each finished download.
#include "tests/e2e/harness.h"
#include "tests/testsupport.h"

#include <QtTest>

class TestVerification : public QObject
{
    Q_OBJECT

private slots:
    void installed();
    void outcome_data();
    void outcome();
    void targetThatCannotBeReplaced();
};

Q_DECLARE_METATYPE(ManifestEntry)

namespace {

const QByteArray oldContent = "old content of the file\n";
const QByteArray newContent = "new content of the file, a little longer\n";
// A program file: the 0x1A comes early, and most of its bytes lie after it.
const QByteArray program = QByteArrayLiteral("MZ\x90\0\3 header\x1a"
                                             "code after the mark, most of the file");
const QByteArray changedAfterMark = QByteArrayLiteral("MZ\x90\0\3 header\x1a"
                                                      "code after the mark, most of the FILE");

// The entry the publisher's tool makes for `content`, from the tests' own reference digests.
ManifestEntry signedEntry(const QString &name, const QByteArray &content)
{
    const QString md5 = textModeMd5Of(content);
    const QString sha256 = sha256Of(content);
    return {name,   "2.0.0",
            md5,    signDigest(md5, developmentPrivateKey()),
            sha256, signDigest(sha256, developmentPrivateKey())};
}

// The lines that report a passed check, in their order.
QStringList verificationLines(const RunResult &result)
{
    QStringList lines;
    for (const QString &line : result.lines) {
        if (line.startsWith("\"download ") || line.startsWith("\"validate "))
            lines.append(line);
    }
    return lines;
}

// Every file the test knows must hold its old or its new content: never a mix, never nothing.
bool holdsOldOrNew(const UpdateScenario &scenario, const QString &name)
{
    const QByteArray content = scenario.installed(name);
    return content == oldContent || content == newContent;
}

} // namespace

void TestVerification::installed()
{
    // Every way a file can be listed, all installed by one run.
    struct Listed
    {
        QString name;
        bool alreadyInstalled;
        bool withDigest;
        bool withSignature;
    };
    const QList<Listed> files{{"new.dll", false, true, true},
                              {"tool.dll", true, true, true},
                              {"digest-only.dll", true, true, false},
                              {"unchecked.dll", true, false, false},
                              {QString::fromUtf8("数据/钱包.dat"), true, true, true}};
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    QList<ManifestEntry> local;
    QList<ManifestEntry> server;
    for (const Listed &file : files) {
        if (file.alreadyInstalled)
            scenario.install(file.name, oldContent);
        // The installed manifest's digests vouch for the old files, never for a download.
        local.append({file.name, "1.0.0", md5Of(oldContent), ""});
        scenario.publish(file.name, newContent);
        server.append(scenario.entry(file.name, "2.0.0", file.withDigest, file.withSignature));
    }
    scenario.installManifest("1.0.0", local);
    scenario.publishManifest("2.0.0", server);

    const RunResult result = scenario.run();

    QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
    QVERIFY(result.toolStarted);
    QVERIFY(result.hasLine("Xml updated"));
    QCOMPARE(result.lines.count("rename  true"), files.size());
    QVERIFY(scenario.outsideUnchanged());
    for (const Listed &file : files) {
        const QString name = file.name;
        QCOMPARE(scenario.installed(name), newContent);
        QVERIFY(!scenario.isInstalled(name + ".update"));
        QCOMPARE(result.hasLine(QString("\"download %1\"  correctly.").arg(name)), file.withDigest);
        QCOMPARE(result.hasLine(QString("\"validate %1\"  correctly.").arg(name)),
                 file.withSignature);
        QCOMPARE(result.hasLine(QString("\"download %1\"  SHA256 correctly.").arg(name)),
                 file.withDigest);
        QCOMPARE(result.hasLine(QString("\"validate %1\"  SHA256 correctly.").arg(name)),
                 file.withSignature);
        QVERIFY(result.hasLine(
            QString("remove  \"%1\" %2").arg(name, file.alreadyInstalled ? "true" : "false")));
    }
}

void TestVerification::outcome_data()
{
    QTest::addColumn<ManifestEntry>("entry");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("checkLines");
    // Tags renamed in the served manifest, as pairs of the tag and its new name.
    QTest::addColumn<QStringList>("renamedTags");

    const QString md5Failed = "Downloading tool.dll failed! Check MD5 error.";
    const QString signatureFailed = "Downloading tool.dll failed! Check signature error.";
    const QString sha256Failed = "Downloading tool.dll failed! Check SHA256 error.";
    const QStringList md5Checked{"\"download tool.dll\"  correctly.",
                                 "\"validate tool.dll\"  correctly."};
    const QStringList allChecked =
        md5Checked + QStringList{"\"download tool.dll\"  SHA256 correctly.",
                                 "\"validate tool.dll\"  SHA256 correctly."};

    ManifestEntry entry = signedEntry("tool.dll", newContent);
    QTest::newRow("altered body") << entry << newContent + "tampered" << md5Failed << QStringList()
                                  << QStringList();
    entry.md5 = entry.md5.toUpper();
    QTest::newRow("upper-case digest")
        << entry << newContent << md5Failed << QStringList() << QStringList();
    entry = signedEntry("tool.dll", newContent);
    entry.signature = signDigest(entry.md5, otherPrivateKey());
    QTest::newRow("signature from another key") << entry << newContent << signatureFailed
                                                << QStringList{md5Checked.first()} << QStringList();
    QTest::newRow("backslash name is checked too")
        << signedEntry("sub\\tool.dll", newContent) << newContent + "tampered"
        << QString("Downloading sub/tool.dll failed! Check MD5 error.") << QStringList()
        << QStringList();

    // The MD5 digest ends at the 0x1A; only the SHA-256 sees what follows it.
    QTest::newRow("SHA-256: full match")
        << signedEntry("tool.dll", program) << program << QString() << allChecked << QStringList();
    QTest::newRow("SHA-256: a byte after the first 0x1A changed")
        << signedEntry("tool.dll", program) << changedAfterMark << sha256Failed << md5Checked
        << QStringList();
    QTest::newRow("SHA-256: body cut after the first 0x1A")
        << signedEntry("tool.dll", program) << program.left(program.indexOf('\x1a') + 3)
        << sha256Failed << md5Checked << QStringList();
    entry = signedEntry("tool.dll", program);
    entry.sha256 = entry.sha256.toUpper();
    entry.sha256Signature = signDigest(entry.sha256, developmentPrivateKey());
    QTest::newRow("SHA-256 in upper case")
        << entry << program << sha256Failed << md5Checked << QStringList();
    QTest::newRow("SHA-256 elements misnamed: ignored")
        << signedEntry("tool.dll", program) << changedAfterMark << QString() << md5Checked
        << QStringList{"SHA256", "Sha256", "SHA256Signature", "SHA256signature"};
    entry = signedEntry("tool.dll", program);
    entry.sha256Signature = entry.signature;
    QTest::newRow("SHA-256 signature over another text: the MD5's")
        << entry << program << sha256Failed << QStringList(allChecked.mid(0, 3)) << QStringList();
    entry = signedEntry("tool.dll", program);
    entry.sha256.clear();
    entry.sha256Signature.clear();
    QTest::newRow("SHA-256 elements absent: checked as before")
        << entry << changedAfterMark << QString() << md5Checked << QStringList();
    entry = signedEntry("tool.dll", program);
    entry.md5.clear();
    entry.signature.clear();
    QTest::newRow("SHA-256 without MD5: checked alone")
        << entry << program << QString() << QStringList(allChecked.mid(2)) << QStringList();
}

void TestVerification::outcome()
{
    QFETCH(ManifestEntry, entry);
    QFETCH(QByteArray, served);
    QFETCH(QString, box);
    QFETCH(QStringList, checkLines);
    QFETCH(QStringList, renamedTags);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    const QString localName = QString(entry.name).replace('\\', '/');
    scenario.install(localName, oldContent);
    scenario.installManifest("1.0.0", {{entry.name, "1.0.0", "", ""}});
    scenario.publish(entry.name, served);
    QByteArray servedManifest = UpdateScenario::manifest(scenario.serverUrl(), "2.0.0", {entry});
    for (int i = 0; i + 1 < renamedTags.size(); i += 2) {
        const QByteArray from = renamedTags.at(i).toUtf8();
        const QByteArray to = renamedTags.at(i + 1).toUtf8();
        servedManifest.replace("<" + from + ">", "<" + to + ">")
            .replace("</" + from + ">", "</" + to + ">");
    }
    scenario.publish("update.xml", servedManifest);
    const QByteArray localManifest = scenario.installed("update.xml");

    const RunResult result = scenario.run();

    QCOMPARE(verificationLines(result), checkLines);
    QVERIFY(!result.crashed);
    QVERIFY(scenario.outsideUnchanged());
    if (box.isEmpty()) {
        QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
        QVERIFY(result.toolStarted);
        QCOMPARE(scenario.installed(localName), served);
        QVERIFY(!scenario.isInstalled(localName + ".update"));
        QVERIFY(result.hasLine("Xml updated"));
        return;
    }
    QVERIFY2(result.boxes == QStringList{"CorvantileUpdate | " + box}, qPrintable(result.log()));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!result.toolStarted);
    QCOMPARE(scenario.installed(localName), oldContent);
    QVERIFY(scenario.isInstalled(localName + ".update"));
    QCOMPARE(scenario.installed("update.xml"), localManifest);
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

QTEST_GUILESS_MAIN(TestVerification)
#include "tst_verification.moc"
