// A broken or hostile server, or anyone on the way to it: the updater runs with administrator
// rights and fetches over plain HTTP, so no answer may cost an installed file, write outside the
// installation, crash it or hang it beyond what the user can end.
#include "release/manifest.h"
#include "tests/e2e/harness.h"
#include "tests/fuzz/fuzzchecks.h"
#include "tests/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

const QByteArray oldTool = "the installed tool, release 1.0.0\n";
const QByteArray newTool = "the tool of the server's release\n";
const QByteArray oldData = "installed data\n";
const QByteArray newData = "the server's data\n";
const QByteArray obsoleteData = "listed only by the installed release\n";

// The installation every case starts from: release 1.0.0 with a tool, a data file and a file
// the server's release no longer lists, updated from the fixture server unless another address
// is given.
void installRelease(UpdateScenario &scenario, const QString &server = QString())
{
    scenario.install("tool.dll", oldTool);
    scenario.install("sub/data.txt", oldData);
    scenario.install("obsolete.dll", obsoleteData);
    scenario.install("update.xml", UpdateScenario::manifest(
                                       server.isEmpty() ? scenario.serverUrl() : server, "1.0.0",
                                       {{"tool.dll", "1.0.0", "", ""},
                                        {"sub/data.txt", "1.0.0", "", ""},
                                        {"obsolete.dll", "1.0.0", "", ""}}));
}

QStringList installedNames(const UpdateScenario &scenario)
{
    QStringList names;
    QDirIterator it(scenario.installPath(), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(QDir(scenario.installPath()).relativeFilePath(it.next()));
    names.sort();
    return names;
}

QByteArray billionLaughs()
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE Update [\n<!ENTITY lol0 \"lol\">\n";
    for (int level = 1; level <= 9; ++level) {
        xml += "<!ENTITY lol" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            xml += "&lol" + QByteArray::number(level - 1) + ";";
        xml += "\">\n";
    }
    return xml + "]>\n<Update><Version>2.0.0</Version><Files><File><Name>&lol9;</Name>"
                 "<Version>2.0.0</Version></File></Files></Update>\n";
}

// A newer release that would install something, were it taken: the manifest of a case that
// must be refused whole.
QByteArray newerRelease(const QByteArray &beforeRoot = QByteArray(),
                        const QByteArray &inRoot = QByteArray())
{
    return "<?xml version=\"1.0\"?>\n" + beforeRoot +
           "<Update><Version>2.0.0</Version><Files><File><Name>new.dll</Name>"
           "<Version>2.0.0</Version></File></Files>" +
           inRoot + "</Update>\n";
}

QByteArray nestedElements(int depth)
{
    return "<Update><Version>2.0.0</Version>" + QByteArray("<a>").repeated(depth) +
           QByteArray("</a>").repeated(depth) + "</Update>\n";
}

// A refusal before anything is downloaded or deleted: one message box naming the unsafe file,
// a failed exit, and the installation as it was.
void checkRefusedBeforeAnyChange(const UpdateScenario &scenario, const RunResult &result,
                                 const QString &refused)
{
    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    QCOMPARE(result.boxes, QStringList{"CorvantileUpdate | Update refused: the server's manifest "
                                       "names the unsafe file \"" +
                                       refused + "\"."});
    QVERIFY(result.exitCode != 0);
    QVERIFY(!result.toolStarted);
    QCOMPARE(scenario.requests(), QStringList{"/update.xml"});
    QVERIFY(scenario.installationUnchanged());
    QVERIFY(scenario.outsideUnchanged());
}

// A download that failed part way, in a release whose other file arrived: one message box, the
// old tool and manifest kept, no staging file, nothing deleted (the old release may still need
// what the new one drops), and the tool started.
void checkDownloadFailed(const UpdateScenario &scenario, const RunResult &result,
                         const QString &box, const QByteArray &localManifest)
{
    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    QVERIFY2(result.boxes.size() == 1 &&
                 result.boxes.first().startsWith("CorvantileUpdate | " + box),
             qPrintable(result.log()));
    QVERIFY(result.hasLine("update incomplete, update.xml kept"));
    QVERIFY(!result.hasLine("Xml updated"));
    QVERIFY(result.exitCode != 0);
    QVERIFY(result.toolStarted);
    QCOMPARE(scenario.installed("tool.dll"), oldTool);
    QVERIFY(!scenario.isInstalled("tool.dll.update"));
    QCOMPARE(scenario.installed("sub/data.txt"), newData);
    QCOMPARE(scenario.installed("obsolete.dll"), obsoleteData);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(scenario.outsideUnchanged());
}

// The server's release of a failed-download case: the tool, unchecked so that only the transfer
// can stop it, and a data file that arrives.
void publishToolAndData(UpdateScenario &scenario, const QByteArray &tool)
{
    scenario.publish("tool.dll", tool);
    scenario.publish("sub/data.txt", newData);
    scenario.publishManifest("2.0.0", {scenario.entry("tool.dll", "2.0.0", false, false),
                                       scenario.entry("sub/data.txt", "2.0.0")});
}

QByteArray fileEntry(const QString &name)
{
    return "<File><Name>" + name.toHtmlEscaped().toUtf8() +
           "</Name><Version>2.0.0</Version></File>";
}

} // namespace

class TestHostileServer : public QObject
{
    Q_OBJECT

private slots:
    void unusableManifest_data();
    void unusableManifest();
    void duplicateNameLastEntryDecides();
    void newerReleaseWithoutFiles();
    void refusedBeforeAnyChange_data();
    void refusedBeforeAnyChange();
    void failedDownloadKeepsTheRelease_data();
    void failedDownloadKeepsTheRelease();
    void versionBeyondIntRange_data();
    void versionBeyondIntRange();
    void hundredThousandEntries();
    void linkInTheInstallation_data();
    void linkInTheInstallation();
    void tricklingServerCanBeClosed();
    void diskFullWhileStaging();
    void nestingLimitIsInclusive();
    void fuzzRegressions_data();
    void fuzzRegressions();
};

void TestHostileServer::unusableManifest_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QJsonObject>("fault");
    // The installation's UpdateServer, "%1" standing for the release folder; empty for the
    // fixture server.
    QTest::addColumn<QString>("server");

    QTest::newRow("entity expansion (billion laughs)")
        << billionLaughs() << QJsonObject() << QString();
    QTest::newRow("answer that never ends")
        << QByteArray() << QJsonObject{{"endless", true}} << QString();
    // Stored, the document would keep "&x;" without its declaration: no later run could read it.
    QTest::newRow("document type with an entity")
        << newerRelease("<!DOCTYPE Update [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>\n",
                        "<Note>&x;</Note>")
        << QJsonObject() << QString();
    // Unpacked by Qt, a gzip bomb of a few MiB takes gigabytes; a manifest comes as it is stored.
    QTest::newRow("gzip-encoded, not asked for")
        << newerRelease() << QJsonObject{{"gzip", true}} << QString();
    QTest::newRow("file: address") << newerRelease() << QJsonObject() << "file://%1";
}

void TestHostileServer::unusableManifest()
{
    QFETCH(QByteArray, body);
    QFETCH(QJsonObject, fault);
    QFETCH(QString, server);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario, server.isEmpty() ? server : server.arg(scenario.releasePath()));
    if (!body.isEmpty())
        scenario.publish("update.xml", body);
    if (!fault.isEmpty())
        scenario.setFault("/update.xml", fault);

    // The run stops with its window open; closing it afterwards shows the updater survived the
    // answer, its parsing and the freeing of what it parsed.
    const RunResult result = scenario.runAndCloseAfter("get serverXml error.", 30000);

    QVERIFY2(result.hasLine("get serverXml error."), qPrintable(result.log()));
    QVERIFY2(result.hasLine("EVENT LOOP ENDED 0"), qPrintable(result.log()));
    QVERIFY(!result.crashed);
    // No update happened: closing the window is no success.
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.boxes.isEmpty());
    QVERIFY(!result.toolStarted);
    // Only http and https addresses are requested at all.
    QCOMPARE(scenario.requests(), server.isEmpty() ? QStringList{"/update.xml"} : QStringList());
    QVERIFY(scenario.installationUnchanged());
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::duplicateNameLastEntryDecides()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario);
    scenario.publish("tool.dll", newTool);
    // The first entry's digest is false: taken, it would fail the download.
    scenario.publishManifest("2.0.0", {{"tool.dll", "2.0.0", md5Of("something else"), ""},
                                       scenario.entry("tool.dll", "2.0.0"),
                                       {"sub/data.txt", "1.0.0", "", ""}});

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && result.exitCode == 0 && result.boxes.isEmpty(),
             qPrintable(result.log()));
    // One name, one download, whatever the number of entries.
    QCOMPARE(scenario.requests(), (QStringList{"/update.xml", "/tool.dll"}));
    QVERIFY(result.hasLine("Xml updated"));
    QCOMPARE(scenario.installed("tool.dll"), newTool);
    QVERIFY(!scenario.isInstalled("tool.dll.update"));
    QCOMPARE(scenario.installed("sub/data.txt"), oldData);
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::newerReleaseWithoutFiles()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario);
    scenario.publish("update.xml", "<Update><UpdateServer>" + scenario.serverUrl().toUtf8() +
                                       "</UpdateServer><Version>2.0.0</Version></Update>");

    const RunResult result = scenario.run();

    // The plan is empty: the new manifest is stored and the tool started before the files the
    // server no longer lists would be deleted, so every installed file stays.
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.log()));
    QVERIFY(result.hasLine("downlist :  ()"));
    QVERIFY(result.hasLine("Xml updated"));
    QVERIFY(result.toolStarted);
    QVERIFY(result.boxes.isEmpty());
    QCOMPARE(scenario.requests(), QStringList{"/update.xml"});
    QCOMPARE(scenario.installed("tool.dll"), oldTool);
    QCOMPARE(scenario.installed("obsolete.dll"), obsoleteData);
    QVERIFY(scenario.installed("update.xml").contains("<Version>2.0.0</Version>"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::versionBeyondIntRange_data()
{
    QTest::addColumn<QString>("release");
    QTest::addColumn<bool>("fetched");

    // Past the int range a component counts as 0: the release is then not newer.
    QTest::newRow("release component at the int limit: newer") << "1.2147483647.0" << true;
    QTest::newRow("release component one past the int limit: not newer")
        << "1.2147483648.0" << false;
}

void TestHostileServer::versionBeyondIntRange()
{
    QFETCH(QString, release);
    QFETCH(bool, fetched);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario);
    scenario.publish("tool.dll", newTool);
    scenario.publishManifest(release, {scenario.entry("tool.dll", "2.0.0"),
                                       {"sub/data.txt", "1.0.0", "", ""},
                                       {"obsolete.dll", "1.0.0", "", ""}});

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.log()));
    QVERIFY(result.toolStarted);
    QVERIFY(result.boxes.isEmpty());
    QCOMPARE(!result.hasLine("Already newest."), fetched);
    QCOMPARE(scenario.requests().contains("/tool.dll"), fetched);
    QCOMPARE(scenario.installed("tool.dll"), fetched ? newTool : oldTool);
    QCOMPARE(scenario.installed("obsolete.dll"), obsoleteData);
    QVERIFY(fetched || scenario.installationUnchanged());
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::hundredThousandEntries()
{
    const int count = 100000;
    const int changed = 4242;
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    const auto name = [](int i) {
        return QString("files/%1.dat").arg(i, 6, 10, QChar('0'));
    };
    QList<ManifestEntry> local;
    for (int i = 0; i < count; ++i)
        local.append({name(i), "1.0.0", "", ""});
    scenario.installManifest("1.0.0", local);
    // Only the changed file is on disk: planning goes by the manifests, not by the disk.
    scenario.install(name(changed), oldData);
    scenario.publish(name(changed), newTool);
    QList<ManifestEntry> server = local;
    server[changed] = scenario.entry(name(changed), "1.1.0");
    scenario.publishManifest("1.1.0", server);

    const RunResult result = scenario.run(60000);

    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.log().left(2000)));
    QVERIFY(result.toolStarted);
    QCOMPARE(scenario.requests(), (QStringList{"/update.xml", "/" + name(changed)}));
    QCOMPARE(scenario.installed(name(changed)), newTool);
    QVERIFY(result.hasLine("Xml updated"));
    QVERIFY(scenario.installed("update.xml").contains("<Version>1.1.0</Version>"));
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::refusedBeforeAnyChange_data()
{
    // The server's Files, and the name the refusal gives.
    QTest::addColumn<QByteArray>("files");
    QTest::addColumn<QString>("refused");

    QTest::newRow("parent") << fileEntry("../evil.txt") << "../evil.txt";
    const QString absolute = QDir::tempPath() + "/corvantile-evil.txt";
    QTest::newRow("absolute") << fileEntry(absolute) << absolute;
    QTest::newRow("the installation's manifest") << fileEntry("update.xml") << "update.xml";
    QTest::newRow("names that differ only in case")
        << fileEntry("tool.dll") + fileEntry("TOOL.dll") << "tool.dll";
    QTest::newRow("the same path in either separator and case")
        << fileEntry("sub/data.txt") + fileEntry("SUB\\data.txt") << "sub/data.txt";
    QTest::newRow("a name that is another's staging file")
        << fileEntry("tool.dll") + fileEntry("tool.dll.update") << "tool.dll";
    // Each names no file; fetched, it would be the server's root page, staged as ".update".
    QTest::newRow("entry without children") << "<File/>" + fileEntry("tool.dll") << "";
    QTest::newRow("empty name") << fileEntry("") + fileEntry("tool.dll") << "";
}

void TestHostileServer::refusedBeforeAnyChange()
{
    QFETCH(QByteArray, files);
    QFETCH(QString, refused);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario);
    scenario.publish("update.xml",
                     "<Update><Version>2.0.0</Version><Files>" + files + "</Files></Update>");
    scenario.publish("tool.dll", newTool);
    scenario.setFault("/", {{"body", "the server's root page"}});

    const RunResult result = scenario.run();

    checkRefusedBeforeAnyChange(scenario, result, refused);
    QVERIFY(!QFile::exists(QDir::tempPath() + "/corvantile-evil.txt"));
}

void TestHostileServer::failedDownloadKeepsTheRelease_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("box");

    const int size = newTool.size() * 8192;
    QTest::newRow("404") << QJsonObject{{"status", 404}} << "Download failed: Error transferring";
    QTest::newRow("redirect") << QJsonObject{{"redirect", "/elsewhere.dll"}}
                              << "Download failed: HTTP status 302";
    // Qt takes the informational answer for the answer; the real one, left on the connection,
    // must not be read as the next file's.
    QTest::newRow("103 Early Hints before the answer")
        << QJsonObject{{"early_hints", true}} << "Download failed: HTTP status 103";
    QTest::newRow("cut mid-way") << QJsonObject{{"cut", 10}} << "Download failed: ";
    // Qt sends the request again after some resets and may then take the cut body for the whole.
    QTest::newRow("reset one byte short")
        << QJsonObject{{"reset", size - 1}} << "Download failed: ";
    // Unpacked by Qt without limit (a bomb of 2 MiB takes gigabytes), and without the stated
    // length that would show a cut.
    QTest::newRow("gzip-encoded, not asked for")
        << QJsonObject{{"gzip", true}} << "Download failed: ";
    // Qt takes a chunk size that is no number for the last chunk.
    QTest::newRow("chunked, garbled chunk size")
        << QJsonObject{{"chunked", "garbage"}} << "Download failed: ";
    QTest::newRow("no length, reset mid-body")
        << QJsonObject{{"nolength", true}, {"reset", 1000}} << "Download failed: ";
}

void TestHostileServer::failedDownloadKeepsTheRelease()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, box);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    installRelease(scenario);
    const QByteArray localManifest = scenario.installed("update.xml");
    publishToolAndData(scenario, newTool.repeated(8192));
    scenario.setFault("/tool.dll", fault);

    const RunResult result = scenario.run();

    checkDownloadFailed(scenario, result, box, localManifest);
}

void TestHostileServer::linkInTheInstallation_data()
{
    // A link in the installation, and where it points: "../elsewhere" is a folder beside the
    // installation holding x.dll, "../outside.txt" a file there.
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    // What the two releases list besides the tool: a new file, and one the new release drops.
    QTest::addColumn<QString>("newFile");
    QTest::addColumn<QString>("droppedFile");
    // The file the refusal names, or empty when the update must go through.
    QTest::addColumn<QString>("refused");

    QTest::newRow("a new file's folder links outside") << "plugins"
                                                       << "../elsewhere"
                                                       << "plugins/x.dll"
                                                       << ""
                                                       << "plugins/x.dll";
    QTest::newRow("a dropped file's folder links outside") << "plugins"
                                                           << "../elsewhere"
                                                           << ""
                                                           << "plugins/x.dll"
                                                           << "plugins/x.dll";
    QTest::newRow("a deeper folder links outside") << "bin/plugins"
                                                   << "../../elsewhere"
                                                   << "bin/plugins/new.dll"
                                                   << ""
                                                   << "bin/plugins/new.dll";
    // Removed and made anew: the file it points to keeps its content.
    QTest::newRow("staging file planted as a link") << "tool.dll.update"
                                                    << "../outside.txt"
                                                    << ""
                                                    << ""
                                                    << "";
}

void TestHostileServer::linkInTheInstallation()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QString, newFile);
    QFETCH(QString, droppedFile);
    QFETCH(QString, refused);

    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    writeFile(scenario.installPath("../elsewhere/x.dll"), "a file outside the installation\n");
    QVERIFY(QDir().mkpath(QFileInfo(scenario.installPath(link)).path()));
    QVERIFY(QFile::link(target, scenario.installPath(link)));
    scenario.install("tool.dll", oldTool);
    QList<ManifestEntry> oldEntries{{"tool.dll", "1.0.0", "", ""}};
    if (!droppedFile.isEmpty())
        oldEntries.append({droppedFile, "1.0.0", "", ""});
    scenario.installManifest("1.0.0", oldEntries);
    const QByteArray localManifest = scenario.installed("update.xml");
    scenario.publish("tool.dll", newTool);
    QList<ManifestEntry> newEntries{scenario.entry("tool.dll", "2.0.0")};
    if (!newFile.isEmpty()) {
        scenario.publish(newFile, newTool);
        newEntries.append(scenario.entry(newFile, "2.0.0"));
    }
    scenario.publishManifest("2.0.0", newEntries);

    const RunResult result = scenario.run();

    QVERIFY2(result.finished && !result.crashed, qPrintable(result.log()));
    QVERIFY(scenario.outsideUnchanged());
    if (refused.isEmpty()) {
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.boxes.isEmpty());
        QCOMPARE(scenario.installed("tool.dll"), newTool);
        QVERIFY(!QFileInfo(scenario.installPath(link)).exists());
        return;
    }
    QCOMPARE(result.boxes, QStringList{"CorvantileUpdate | Update refused: the file \"" + refused +
                                       "\" lies behind the link or junction \"" + link + "\"."});
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!result.toolStarted);
    QCOMPARE(scenario.requests(), QStringList{"/update.xml"});
    QCOMPARE(scenario.installed("tool.dll"), oldTool);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
}

void TestHostileServer::tricklingServerCanBeClosed()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    scenario.install("tool.dll", oldTool);
    scenario.installManifest("1.0.0", {{"tool.dll", "1.0.0", "", ""}});
    const QByteArray localManifest = scenario.installed("update.xml");
    // An hour's worth at one byte a second: the case ends long before.
    scenario.publish("tool.dll", QByteArray(3600, 't'));
    scenario.publishManifest("2.0.0", {scenario.entry("tool.dll", "2.0.0")});
    scenario.setFault("/tool.dll", {{"trickle", true}});

    const RunResult result = scenario.runAndCloseAfter("CAPTION Updating tool.dll (1/1)", 20000);

    QVERIFY2(result.hasLine("EVENT LOOP ENDED 0"), qPrintable(result.log()));
    QVERIFY(result.finished);
    QVERIFY(!result.crashed);
    // The update was cut short: whoever started the updater must not take it for a success.
    QVERIFY(result.exitCode != 0);
    QVERIFY(!result.toolStarted);
    QVERIFY(result.boxes.isEmpty());
    // Closing leaves the partial staging file beside the intact old file and manifest; the next
    // run truncates it.
    QCOMPARE(installedNames(scenario), (QStringList{"tool.dll", "tool.dll.update", "update.xml"}));
    QCOMPARE(scenario.installed("tool.dll"), oldTool);
    QCOMPARE(scenario.installed("update.xml"), localManifest);
    QVERIFY(scenario.outsideUnchanged());
}

void TestHostileServer::diskFullWhileStaging()
{
    UpdateScenario scenario;
    QVERIFY(scenario.startServer());
    // A small file system of its own is the only way to fill a disk on purpose.
    const QByteArray mountPoint = QFile::encodeName(scenario.installPath());
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=2m") != 0) {
        const int error = errno;
        const QString reason =
            QString("cannot mount a 2 MiB tmpfs on the installation: %1").arg(strerror(error));
        QSKIP(qPrintable(reason));
    }
    const auto unmount = qScopeGuard([&mountPoint] { ::umount2(mountPoint.constData(), 0); });

    installRelease(scenario);
    const QByteArray localManifest = scenario.installed("update.xml");
    publishToolAndData(scenario, QByteArray(4 * 1024 * 1024, 'x'));

    const RunResult result = scenario.run();

    checkDownloadFailed(scenario, result, "Download failed: No space left on device.",
                        localManifest);
}

void TestHostileServer::nestingLimitIsInclusive()
{
    // The root element counts as the first level; one level more is refused (tst_manifest).
    QDomDocument document;
    QVERIFY(parseManifest(document, nestedElements(maximumManifestDepth - 1)));
    QCOMPARE(elementText(document, "Version"), QString("2.0.0"));
}

void TestHostileServer::fuzzRegressions_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("input");

    // Every input on which a fuzz target once crashed, hung or found a broken check.
    for (const QString kind : {"manifest", "versions"}) {
        QDirIterator it(testDataPath("regressions/" + kind), QDir::Files);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(kind + "/" + it.fileName())) << kind << file.readAll();
        }
    }
}

void TestHostileServer::fuzzRegressions()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);

    QVERIFY(kind == "manifest" ? manifestChecksHold(input) : versionChecksHold(input));
}

QTEST_GUILESS_MAIN(TestHostileServer)
#include "tst_hostileserver.moc"
