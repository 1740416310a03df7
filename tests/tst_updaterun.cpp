// The update run end to end: the real updater (through the unattended driver) against the
// fixture server on loopback, in a fresh installation directory per scenario.
#include "tests/e2e/harness.h"
#include "tests/testsupport.h"

#include <QDomDocument>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void runThatStopsSaysWhy_data();
    void runThatStopsSaysWhy();
    void threeFilesInOrder();
    void obsoleteFilesDeletedOnceSomethingDownloads();
    void manifestThatCannotBeStoredIsKept_data();
    void manifestThatCannotBeStoredIsKept();
    void closingAfterAStallIsNoSuccess();
    void oneRunAtATime_data();
    void oneRunAtATime();
    void installedFilesReachTheDiskBeforeTheManifest();
};

static QString savedWithIndent4(const QByteArray &xml)
{
    QDomDocument document;
    document.setContent(xml);
    QString text;
    QTextStream stream(&text);
    document.save(stream, 4, QDomNode::EncodingFromTextStream);
    return text;
}

void TestUpdateRun::runThatStopsSaysWhy_data()
{
    // The local manifest ("%1" stands for the fixture server; null: none) and the server's fault.
    QTest::addColumn<QByteArray>("localManifest");
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("caption");
    const QByteArray usable = UpdateScenario::manifest("%1", "1.0.0", {});
    QTest::newRow("update.xml missing")
        << QByteArray() << QJsonObject() << "update.xml not exist."
        << "Update failed: update.xml is missing.\nReinstall the program.";
    // The stored manifest is the last server's, read by the same parser: nested this deep, it is
    // damaged, and must not exhaust the stack.
    QTest::newRow("update.xml nested far past the limit")
        << QByteArray("<a>").repeated(100000) + QByteArray("</a>").repeated(100000) << QJsonObject()
        << "localxml setcontent false"
        << "Update failed: update.xml is damaged.\nReinstall the program.";
    // Port 1 on loopback: nothing listens there.
    QTest::newRow("server unreachable")
        << UpdateScenario::manifest("http://127.0.0.1:1", "1.0.0", {}) << QJsonObject()
        << "get serverXml error."
        << "Update failed: cannot reach the server.\nCheck the network, then start again.";
    QTest::newRow("server answers no XML")
        << usable << QJsonObject{{"body", "this is not a manifest"}} << "get serverXml error."
        << "Update failed: bad reply from the server.\nTry again later.";
    QTest::newRow("server answers an error page")
        << usable << QJsonObject{{"status", 500}} << "get serverXml error."
        << "Update failed: bad reply from the server.\nTry again later.";
}

void TestUpdateRun::runThatStopsSaysWhy()
{
    QFETCH(QByteArray, localManifest);
    QFETCH(QJsonObject, fault);
    QFETCH(QString, line);
    QFETCH(QString, caption);
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    if (!localManifest.isNull())
        scenario.install("update.xml", localManifest.replace("%1", scenario.serverUrl().toUtf8()));
    if (!fault.isEmpty())
        scenario.setFault("/update.xml", fault);

    const RunResult result = scenario.runAndCloseAfter(line);

    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    // The window stays until it is closed, and says why the update went no further.
    QVERIFY2(result.hasLine(line), qPrintable(result.log()));
    QCOMPARE(result.lines.filter("CAPTION "),
             QStringList{"CAPTION " + QString(caption).replace('\n', " / ")});
    QVERIFY(result.hasLine("EVENT LOOP ENDED 0"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!result.toolStarted);
    QVERIFY(result.boxes.isEmpty());
    QVERIFY(scenario.installationUnchanged());
    QVERIFY(scenario.outsideUnchanged());
}

void TestUpdateRun::threeFilesInOrder()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.publish("b.dll", "bee");
    scenario.publish("sub/deep/c.txt", "sea");
    scenario.publish("sub/a.dat", "ay");
    scenario.publish("same.dll", "unchanged on the server");
    scenario.install("same.dll", "unchanged");
    // What an interrupted run left: truncated, or the unchecked file would end in its bytes.
    scenario.install("sub/a.dat.update", QByteArray(4096, 'x'));
    // Versions compare by number: 1.10.0 is newer than 1.9.0.
    scenario.installManifest("1.9.0", {{"same.dll", "1.0.0", "", ""}});
    scenario.publishManifest("1.10.0", {scenario.entry("b.dll", "1.1.0"),
                                        scenario.entry("sub/deep/c.txt", "1.1.0"),
                                        scenario.entry("sub/a.dat", "1.1.0", false, false),
                                        scenario.entry("same.dll", "1.0.0")});

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.log()));
    QVERIFY(result.toolStarted);
    QCOMPARE(scenario.installed("b.dll"), QByteArray("bee"));
    QCOMPARE(scenario.installed("sub/a.dat"), QByteArray("ay"));
    QCOMPARE(scenario.installed("sub/deep/c.txt"), QByteArray("sea"));
    QCOMPARE(scenario.installed("same.dll"), QByteArray("unchanged"));
    QVERIFY(!scenario.isInstalled("b.dll.update"));
    QVERIFY(!scenario.isInstalled("sub/a.dat.update"));

    // Ascending by name, one at a time, after the manifest.
    QCOMPARE(scenario.requests(),
             (QStringList{"/update.xml", "/b.dll", "/sub/a.dat", "/sub/deep/c.txt"}));

    const QString base = scenario.serverUrl();
    QStringList downlists;
    QStringList captions;
    for (const QString &line : result.lines) {
        if (line.startsWith("downlist : "))
            downlists.append(line);
        if (line.startsWith("CAPTION "))
            captions.append(line.mid(8));
    }
    QCOMPARE(
        downlists,
        (QStringList{QString("downlist :  (\"%1/b.dll\", \"%1/sub/a.dat\", \"%1/sub/deep/c.txt\")")
                         .arg(base),
                     QString("downlist :  (\"%1/sub/a.dat\", \"%1/sub/deep/c.txt\")").arg(base),
                     QString("downlist :  (\"%1/sub/deep/c.txt\")").arg(base), "downlist :  ()"}));
    QCOMPARE(captions, (QStringList{"Updating b.dll (1/3)", "Updating sub/a.dat (2/3)",
                                    "Updating sub/deep/c.txt (3/3)"}));
    // sub/ existed already; sub/deep/ is created, and logged once.
    QCOMPARE(result.lines.count("true"), 1);
    QVERIFY(result.hasLine("Xml updated"));
    QCOMPARE(result.lines.filter("rename ").size(), 3);

    QCOMPARE(QString::fromUtf8(scenario.installed("update.xml")),
             savedWithIndent4(scenario.manifest(base, "1.10.0",
                                                {scenario.entry("b.dll", "1.1.0"),
                                                 scenario.entry("sub/deep/c.txt", "1.1.0"),
                                                 scenario.entry("sub/a.dat", "1.1.0", false, false),
                                                 scenario.entry("same.dll", "1.0.0")})));
    QVERIFY(scenario.outsideUnchanged());
}

void TestUpdateRun::obsoleteFilesDeletedOnceSomethingDownloads()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("obsolete.dll", "obsolete");
    scenario.install("sub/gone.txt", "gone");
    scenario.install("unlisted.txt", "never in a manifest");
    scenario.install("sub/deeper/gone.txt", "gone too");
    scenario.install("lib", "a file that becomes a folder");
    scenario.install("New.dll", "differs from new.dll in case: another file here, and obsolete");
    writeFile(scenario.installPath("../outside.txt"), "an unsafe name is never deleted");
    scenario.installManifest("1.0.0", {{"obsolete.dll", "1.0.0", "", ""},
                                       {"New.dll", "1.0.0", "", ""},
                                       {"../outside.txt", "1.0.0", "", ""},
                                       {"sub/gone.txt", "1.0.0", "", ""},
                                       {"sub/deeper/gone.txt", "1.0.0", "", ""},
                                       {"lib", "1.0.0", "", ""}});
    scenario.publish("new.dll", "new");
    // The folder sub/ becomes a file: it holds only files the new release drops, so it gives way;
    // and the dropped file lib gives way to the folder lib/.
    scenario.publish("sub", "was a folder");
    scenario.publish("lib/x.dll", "in a new folder");
    scenario.publishManifest("1.1.0",
                             {scenario.entry("new.dll", "1.1.0"), scenario.entry("sub", "1.1.0"),
                              scenario.entry("lib/x.dll", "1.1.0")});

    const RunResult result = scenario.run();

    QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
    QVERIFY(!scenario.isInstalled("obsolete.dll"));
    QCOMPARE(scenario.installed("sub"), QByteArray("was a folder"));
    QCOMPARE(scenario.installed("lib/x.dll"), QByteArray("in a new folder"));
    QCOMPARE(scenario.installed("unlisted.txt"), QByteArray("never in a manifest"));
    QCOMPARE(scenario.installed("new.dll"), QByteArray("new"));
    QVERIFY(!scenario.isInstalled("New.dll"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestUpdateRun::manifestThatCannotBeStoredIsKept_data()
{
    // Where the installed manifest really lies, relative to the installation: update.xml itself
    // (made read-only), or a file outside that update.xml is a symbolic link to.
    QTest::addColumn<QString>("manifestFile");

    QTest::newRow("read-only") << "update.xml";
    QTest::newRow("a link to a file outside") << "../manifest-elsewhere.xml";
}

void TestUpdateRun::manifestThatCannotBeStoredIsKept()
{
    QFETCH(QString, manifestFile);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install(manifestFile, UpdateScenario::manifest(scenario.serverUrl(), "1.0.0", {}));
    const QByteArray localManifest = scenario.installed(manifestFile);
    if (manifestFile == "update.xml")
        QFile::setPermissions(scenario.installPath("update.xml"),
                              QFile::ReadOwner | QFile::ReadGroup);
    else
        QVERIFY(QFile::link(manifestFile, scenario.installPath("update.xml")));
    // What a run killed while it stored update.xml leaves beside it.
    scenario.install("update.xml.k3Rq9Z", "<Update><Version>0.9");
    scenario.publish("a.txt", "a");
    scenario.publishManifest("1.1.0", {scenario.entry("a.txt", "1.1.0")});

    const RunResult result = scenario.run();

    // The next run fetches the release again: whoever started the updater must not take this run
    // for a success.
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.toolStarted);
    QVERIFY(!scenario.isInstalled("update.xml.k3Rq9Z"));
    const int failed = result.lines.indexOf("open update.xml failed");
    QVERIFY2(failed >= 0, qPrintable(result.log()));
    QCOMPARE(result.lines.indexOf("Xml updated"), failed + 1);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QCOMPARE(scenario.installed("a.txt"), QByteArray("a"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestUpdateRun::closingAfterAStallIsNoSuccess()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    QVERIFY(QDir().mkpath(scenario.installPath("b.dll.update")));
    scenario.installManifest("1.0.0", {});
    const QByteArray localManifest = scenario.installed("update.xml");
    scenario.publish("a.dll", "a");
    scenario.publish("b.dll", "b");
    scenario.publishManifest("1.1.0",
                             {scenario.entry("a.dll", "1.1.0"), scenario.entry("b.dll", "1.1.0")});

    // The first file is installed, the second cannot be staged: the run stalls, and the user
    // closes the window.
    const RunResult result =
        scenario.runAndCloseAfter("MESSAGE BOX CorvantileUpdate | Unable to save the file b.dll: ");

    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    QVERIFY(result.hasLine("EVENT LOOP ENDED 0"));
    QVERIFY(result.exitCode != 0);
    QVERIFY(!result.toolStarted);
    QCOMPARE(result.boxes.size(), 1);
    QCOMPARE(scenario.requests(), (QStringList{"/update.xml", "/a.dll"}));
    QCOMPARE(result.lines.filter("CAPTION ").last(),
             QString("CAPTION Update failed: a file could not be saved. / Check the disk, then "
                     "start again."));
    QCOMPARE(scenario.installed("a.dll"), QByteArray("a"));
    QCOMPARE(scenario.installed("update.xml"), localManifest);
}

void TestUpdateRun::oneRunAtATime_data()
{
    // The content of update.xml.lock when the run starts; empty: held by a living run (this test).
    QTest::addColumn<QByteArray>("leftLock");
    QTest::addColumn<bool>("updates");

    QTest::newRow("held by a running update") << QByteArray() << false;
    // A run that was killed, or a power cut: nobody holds the lock, and the run goes on.
    QTest::newRow("left by a run that no longer exists")
        << QByteArray("999999999\nCorvantileUpdate\n\n") << true;
}

void TestUpdateRun::oneRunAtATime()
{
    QFETCH(QByteArray, leftLock);
    QFETCH(bool, updates);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("a.dll", "old");
    scenario.installManifest("1.0.0", {{"a.dll", "1.0.0", "", ""}});
    const QByteArray localManifest = scenario.installed("update.xml");
    scenario.publish("a.dll", "new");
    scenario.publishManifest("1.1.0", {scenario.entry("a.dll", "1.1.0")});
    QLockFile running(scenario.installPath("update.xml.lock"));
    if (leftLock.isEmpty())
        QVERIFY(running.tryLock(0));
    else
        scenario.install("update.xml.lock", leftLock);

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    if (updates) {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(scenario.installed("a.dll"), QByteArray("new"));
        QVERIFY(!scenario.isInstalled("update.xml.lock"));
        return;
    }
    QCOMPARE(result.lines.filter("another run is updating this installation; nothing was changed")
                 .size(),
             1);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!result.toolStarted);
    QVERIFY(result.boxes.isEmpty());
    QVERIFY(scenario.requests().isEmpty());
    QCOMPARE(scenario.installed("a.dll"), QByteArray("old"));
    QCOMPARE(scenario.installed("update.xml"), localManifest);
}

void TestUpdateRun::installedFilesReachTheDiskBeforeTheManifest()
{
    if (QStandardPaths::findExecutable("strace").isEmpty())
        QSKIP("strace is needed (Debian package strace)");
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.installManifest("1.0.0", {});
    scenario.publish("a.dll", "a");
    scenario.publish("sub/b.dll", "b");
    scenario.publishManifest(
        "1.1.0", {scenario.entry("a.dll", "1.1.0"), scenario.entry("sub/b.dll", "1.1.0")});
    // A power cut cannot be had on purpose; what reaches the disk, and in which order, is what
    // the system calls ask for.
    QTemporaryDir traceDirectory;
    const QString trace = traceDirectory.filePath("trace");
    scenario.runUnder(
        {"strace", "-f", "-qq", "-e", "trace=rename,renameat,renameat2,syncfs,sync", "-o", trace});

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.log()));
    QCOMPARE(scenario.installed("sub/b.dll"), QByteArray("b"));
    int lastInstall = -1;
    int firstSync = -1;
    int manifestStored = -1;
    const QStringList calls = QString::fromUtf8(readFile(trace)).split('\n');
    for (int i = 0; i < calls.size(); ++i) {
        const QString &call = calls.at(i);
        if (call.contains(".update\", ") && call.contains(" = 0"))
            lastInstall = i;
        if ((call.contains("syncfs(") || call.contains(" sync(")) && call.contains(" = 0") &&
            firstSync < 0 && lastInstall >= 0)
            firstSync = i;
        if (call.contains("\"update.xml\") = 0"))
            manifestStored = i;
    }
    QVERIFY2(lastInstall >= 0 && manifestStored > lastInstall, qPrintable(calls.join('\n')));
    QVERIFY2(firstSync > lastInstall && firstSync < manifestStored, qPrintable(calls.join('\n')));
}

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
