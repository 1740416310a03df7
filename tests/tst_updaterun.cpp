// The updater end to end: the real program, through the unattended driver, against the fixture
// server on loopback; one run per path a user meets, the rules themselves tested in their units.
#include "tests/e2e/harness.h"
#include "tests/fuzz/fuzzchecks.h"

#include <QDirIterator>
#include <QDomDocument>
#include <QLockFile>
#include <QStandardPaths>
#include <QtTest>

using Setup = std::function<void(UpdateScenario &)>;
using Change = std::function<void(ManifestEntry &)>;
using Tree = QMap<QString, QByteArray>;
using Check = bool (*)(const QByteArray &);
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Check)
Q_DECLARE_METATYPE(ManifestEntry)

namespace {

const QByteArray oldTool = "the installed tool\n", newTool = "the server's tool\n";
// A program file: the 0x1A comes early, and most of its bytes lie after it.
const QByteArray program = QByteArrayLiteral("MZ\x90\0\3 header\x1a"
                                             "code after the mark");
const QByteArray changedAfterMark = QByteArrayLiteral("MZ\x90\0\3 header\x1a"
                                                      "code after the MARK");

// Release 1.0.0 installed, with a file the server's release 2.0.0 drops; the new tool is signed.
bool prepare(UpdateScenario &s)
{
    if (!s.startServer())
        return false;
    s.install("tool.dll", oldTool);
    s.install("obsolete.dll", "dropped by 2.0.0");
    s.installManifest("1.0.0", {{"tool.dll", "1.0.0", "", ""}, {"obsolete.dll", "1.0.0", "", ""}});
    s.publish("tool.dll", newTool);
    s.publishManifest("2.0.0", {s.entry("tool.dll", "2.0.0")});
    return true;
}

Tree tree(const QString &folder)
{
    Tree files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), readFile(path));
    }
    return files;
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT
    std::unique_ptr<QLockFile> otherRun;

private slots:
    void cleanup() { otherRun.reset(); }

    // Every way a file can be listed, fetched in order by one run, and all around the files.
    void fullUpdate()
    {
        UpdateScenario s;
        QVERIFY(s.startServer());
        Tree expected{{"same.dll", "same file version"}, {"unlisted.txt", "in no manifest"}};
        QList<ManifestEntry> local{{"same.dll", "1.0.0", "", ""}, {"../outside.txt", "1", "", ""}};
        // Dropped: a folder gives way to a file of the new release, and a file to a folder.
        for (const QString &name : QStringList{"b.dll", "New.dll", "lib", "old/a", "old/b/c"}) {
            s.install(name, "dropped");
            local.append({name, name == "b.dll" ? "1.9.0" : "1.0.0", "", ""});
        }
        for (auto file = expected.cbegin(); file != expected.cend(); ++file)
            s.install(file.key(), file.value());
        s.install("sub/a.dat.update", QByteArray(4096, 'x')); // left by an interrupted run
        s.install("update.xml.k3Rq9Z", "<Update>");           // by a run killed while storing
        s.install("update.xml.lock", "999999999\nCorvantileUpdate\n\n"); // by a killed run
        QVERIFY(QFile::link("../outside.txt", s.installPath("b.dll.update")));
        s.installManifest("1.9.0", local);
        s.publish("same.dll", "not fetched");
        // Of two entries for one name the last decides: taken, the first would fail the download.
        QList<ManifestEntry> server{{"same.dll", "1.0.0", "", ""}, {"b.dll", "1", md5Of("x"), ""}};
        QStringList requests{"/update.xml"}, captions, checks;
        const QList<std::tuple<QString, bool, bool>> listed{
            {"b.dll", true, true},
            {"lib/x.dll", true, true},
            {"new.dll", true, true},
            {"old", true, true},
            {"sub/a.dat", false, false},
            {"sub/c/d.txt", true, false},
            {QString::fromUtf8("数据/钱包.dat"), true, true}};
        for (const auto &[name, digest, signature] : listed) {
            s.publish(name, "new " + name.toUtf8());
            server.append(s.entry(name, "1.10.0", digest, signature));
            expected.insert(name, "new " + name.toUtf8());
            requests << "/" + name;
            captions << QString("CAPTION Updating %1 (%2/7)").arg(name).arg(captions.size() + 1);
            for (const QString sha : {"", "SHA256 "}) {
                for (const QString step : {"download", "validate"}) {
                    if (step == "download" ? digest : signature)
                        checks << QString("\"%1 %2\"  %3correctly.").arg(step, name, sha);
                }
            }
        }
        s.publishManifest("1.10.0", server);
        // A power cut cannot be had on purpose: the system calls show what reaches the disk first.
        QTemporaryDir traced;
        if (!QStandardPaths::findExecutable("strace").isEmpty())
            s.wrapper = QStringList{"strace",
                                    "-f",
                                    "-qq",
                                    "-e",
                                    "trace=rename,renameat,renameat2,sync,syncfs",
                                    "-o",
                                    traced.filePath("calls")};

        const RunResult result = s.run();

        QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
        QVERIFY(result.finished && result.toolStarted && result.hasLine("Xml updated"));
        QCOMPARE(s.requests(), requests);
        QCOMPARE(result.lines.filter(QRegularExpression("^CAPTION ")), captions);
        QCOMPARE(result.lines.filter(QRegularExpression("^downlist : ")).size(), 8);
        QCOMPARE(result.lines.filter(" correctly."), checks);
        const auto dom = [](const QByteArray &xml) {
            QDomDocument document;
            return document.setContent(xml) ? document.toString() : QString();
        };
        QCOMPARE(dom(s.installed("update.xml")), dom(readFile(s.releasePath("update.xml"))));
        expected.insert("update.xml", s.installed("update.xml"));
        QCOMPARE(tree(s.installPath()), expected);
        QVERIFY(s.outsideUnchanged());
        // Every file installed, then the file system flushed, then update.xml stored.
        const QString calls = QString::fromUtf8(readFile(traced.filePath("calls")));
        const int stored = calls.indexOf("\"update.xml\") = 0");
        const int sync = calls.lastIndexOf(QRegularExpression("\\bsync(fs)?\\(.*= 0"), stored);
        QVERIFY2(s.wrapper.isEmpty() || (calls.lastIndexOf(".update\", ") < sync && stored > 0),
                 qPrintable(calls));
    }

    // Runs that end before any change: no file requested, the installation and all around it as
    // they were. A run that stops keeps its window open and says why until the user closes it.
    void nothingChanges_data()
    {
        QTest::addColumn<Setup>("setup");
        // Lines the run shows, by their beginnings, in order; the window is closed after the last.
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<int>("exitCode");
        const auto row = [](const char *tag, const QStringList &shown, const Setup &setup,
                            int exitCode = 1) {
            QTest::newRow(tag) << setup << shown << exitCode;
        };
        const QString failed = "CAPTION Update failed: ";
        const QStringList unreachable{
            "get serverXml error.",
            failed + "cannot reach the server. / Check the network, then start again."};
        const QStringList badReply{"get serverXml error.",
                                   failed + "bad reply from the server. / Try again later."};
        const QByteArray newer =
            "<Update><Version>2.0.0</Version><Files><File><Name>new.dll</Name><Version>2.0.0</"
            "Version></File></Files><Note>&x;</Note></Update>";
        QByteArray laughs = "<!DOCTYPE Update [\n<!ENTITY x0 \"lol\">\n";
        for (int i = 1; i <= 9; ++i)
            laughs += "<!ENTITY x" + QByteArray::number(i) + " \"" +
                      ("&x" + QByteArray::number(i - 1) + ";").repeated(10) + "\">\n";
        const QString linked = "MESSAGE BOX CorvantileUpdate | Update refused: the file "
                               "\"plugins/x.dll\" lies behind the link or junction \"plugins\".";
        const auto link = [](UpdateScenario &s) {
            writeFile(s.installPath("../elsewhere/x.dll"), "outside the installation\n");
            QFile::link("../elsewhere", s.installPath("plugins"));
        };

        row("update.xml missing",
            {"update.xml not exist.", failed + "update.xml is missing. / Reinstall the program."},
            [](UpdateScenario &s) { QFile::remove(s.installPath("update.xml")); });
        // The stored manifest is the last server's: nested this deep, it must not exhaust the
        // stack.
        row("update.xml nested too deep",
            {"localxml setcontent false",
             failed + "update.xml is damaged. / Reinstall the program."},
            [](UpdateScenario &s) {
                s.install("update.xml",
                          QByteArray("<a>").repeated(100000) + QByteArray("</a>").repeated(100000));
            });
        row("nothing listens", unreachable, [](UpdateScenario &s) {
            s.install("update.xml", s.manifest("http://127.0.0.1:1", "1.0.0", {}));
        });
        row("a file: address", unreachable, [](UpdateScenario &s) {
            s.install("update.xml", s.manifest("file://" + s.releasePath(), "1.0.0", {}));
        });
        row("an error page", badReply, [](UpdateScenario &s) {
            s.setFault("/update.xml", {{"status", 500}});
        });
        row("an answer that never ends", badReply, [](UpdateScenario &s) {
            s.setFault("/update.xml", {{"endless", true}});
        });
        // Unpacked by Qt, a gzip bomb of a few MiB takes gigabytes.
        row("gzip-encoded, not asked for", badReply, [](UpdateScenario &s) {
            s.setFault("/update.xml", {{"gzip", true}});
        });
        row("entity expansion", badReply, [laughs, newer](UpdateScenario &s) {
            s.publish("update.xml", laughs + "<!ENTITY x \"&x9;\">]>" + newer);
        });
        // Stored, the document would keep "&x;" without its declaration: no later run could read
        // it.
        row("a document type", badReply, [newer](UpdateScenario &s) {
            s.publish("update.xml", "<!DOCTYPE Update [<!ENTITY x \"y\">]>" + newer);
        });
        row("a staging file that cannot be made",
            {failed + "a file could not be saved. / Check the disk, then start again.",
             "MESSAGE BOX CorvantileUpdate | Unable to save the file tool.dll: "},
            [](UpdateScenario &s) { QDir().mkpath(s.installPath("tool.dll.update")); });
        row("another run holds the lock",
            {"another run is updating this installation; nothing was changed"},
            [this](UpdateScenario &s) {
                otherRun = std::make_unique<QLockFile>(s.installPath("update.xml.lock"));
                otherRun->tryLock(0);
            });
        row(
            "a release not newer", {"Already newest.", "TOOL STARTED"},
            [](UpdateScenario &s) { s.publishManifest("1.0.0", {s.entry("tool.dll", "2.0.0")}); },
            0);
        row("an unsafe name",
            {"MESSAGE BOX CorvantileUpdate | Update refused: the server's manifest names the "
             "unsafe file \"../evil.txt\"."},
            [](UpdateScenario &s) {
                s.publishManifest("2.0.0",
                                  {s.entry("tool.dll", "2.0.0"), {"../evil.txt", "2.0.0", "", ""}});
            });
        row("a new file's folder is a link", {linked}, [link](UpdateScenario &s) {
            link(s);
            s.publish("plugins/x.dll", newTool);
            s.publishManifest("2.0.0",
                              {s.entry("tool.dll", "2.0.0"), s.entry("plugins/x.dll", "2.0.0")});
        });
        row("a dropped file's folder is a link", {linked}, [link](UpdateScenario &s) {
            link(s);
            s.installManifest("1.0.0",
                              {{"tool.dll", "1.0.0", "", ""}, {"plugins/x.dll", "1", "", ""}});
        });
    }

    void nothingChanges()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, shown);
        QFETCH(int, exitCode);
        UpdateScenario s;
        QVERIFY(prepare(s));
        setup(s);
        const RunResult result = s.runAndCloseAfter(shown.last());
        for (int i = 0, line = 0; i < shown.size(); ++i, ++line) {
            while (line < result.lines.size() && !result.lines.at(line).startsWith(shown.at(i)))
                ++line;
            QVERIFY2(line < result.lines.size(),
                     qPrintable(shown.at(i) + " not in:\n" + result.log()));
        }
        QVERIFY(result.finished && result.exitCode == exitCode && result.toolStarted == !exitCode);
        QCOMPARE(result.boxes.size(), shown.filter(QRegularExpression("^MESSAGE BOX ")).size());
        QVERIFY(s.requests().size() <= 1);
        QVERIFY(s.installationUnchanged() && s.outsideUnchanged());
    }

    // Every way a download can fail, in one run: each failed file keeps its old content and leaves
    // no staging file, the others are installed, nothing is deleted, and the old update.xml is
    // kept, so that the next run fetches again; the tool is started.
    void failedDownloads()
    {
        UpdateScenario s;
        QVERIFY(prepare(s));
        s.install("a.dll/inside/kept.txt", "the user's"); // a folder that cannot give way to a file
        s.publish("a.dll", newTool);
        // Right after a broken answer: what is left of it on the connection is not this file.
        s.publish("e.dll", newTool);
        QList<ManifestEntry> server{s.entry("a.dll", "2.0.0"), s.entry("e.dll", "2.0.0")};
        // Qt sends the request again after some resets, and may take a cut body for the whole.
        const QByteArray large = newTool.repeated(8192);
        const QList<std::pair<QString, QJsonObject>> faults{
            {"c.dll", {{"redirect", "/x.dll"}}},
            {"d.dll", {{"early_hints", true}}},
            {"f.dll", {{"cut", 10}}},
            {"g.dll", {{"reset", large.size() - 1}}},
            {"h.dll", {{"gzip", true}}},
            {"i.dll", {{"chunked", true}}},
            {"j.dll", {{"nolength", true}, {"reset", 1000}}},
            {"k.dll", {}},
            {"tool.dll", {{"status", 404}}}};
        for (const auto &[name, fault] : faults) {
            s.publish(name, name == "k.dll" ? QByteArray(2 << 20, 'k') : large);
            s.setFault("/" + name, fault);
            server.append(s.entry(name, "2.0.0", false, false)); // only the transfer stops them
        }
        s.publishManifest("2.0.0", server);
        // A disk that fills up while k.dll is written: a write takes part and fails the rest.
        s.environment.insert("CORVANTILE_E2E_FILE_SIZE_LIMIT", QString::number(1 << 20));
        Tree expected = tree(s.installPath());
        expected.insert("e.dll", newTool);

        const RunResult result = s.run();

        const QString no = "CorvantileUpdate | Download failed: ";
        const QString unframed = no + "the server did not state the length of the body.";
        const QStringList boxes{"CorvantileUpdate | Unable to install the file a.dll: ",
                                no + "HTTP status 302",
                                no + "HTTP status 103",
                                no,
                                no,
                                no + "the server sent the body encoded as gzip.",
                                unframed,
                                unframed,
                                no + "File too large.",
                                no + "Error transferring"};
        QVERIFY2(result.finished && result.boxes.size() == boxes.size(), qPrintable(result.log()));
        for (int i = 0; i < boxes.size(); ++i)
            QVERIFY2(result.boxes.at(i).startsWith(boxes.at(i)), qPrintable(result.boxes.at(i)));
        QVERIFY(result.hasLine("update incomplete, update.xml kept") &&
                !result.hasLine("Xml updated"));
        QVERIFY(result.exitCode == 1 && result.toolStarted);
        QCOMPARE(tree(s.installPath()), expected);
        QVERIFY(s.outsideUnchanged());
    }

    // A server that stops sending: the user closes the window, and that is no success.
    void stallEndedByTheUser()
    {
        UpdateScenario s;
        QVERIFY(prepare(s));
        s.setFault("/tool.dll", {{"stall", 5}});
        const Tree before = tree(s.installPath());
        const RunResult result = s.runAndCloseAfter("CAPTION Updating tool.dll (1/1)");
        QVERIFY2(result.finished && result.exitCode == 1, qPrintable(result.log()));
        QVERIFY(!result.toolStarted && result.boxes.isEmpty());
        Tree after = tree(s.installPath());
        after.remove("tool.dll.update");
        QCOMPARE(after, before);
    }

    // A run that cannot store the new update.xml says so, and keeps the old one for the next run.
    // Its release changes no file, which deletes none.
    void manifestNotStored_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::newRow("read-only") << Setup([](UpdateScenario &s) {
            QFile::setPermissions(s.installPath("update.xml"), QFile::ReadOwner);
        });
        QTest::newRow("a link to a file outside") << Setup([](UpdateScenario &s) {
            QFile::rename(s.installPath("update.xml"), s.installPath("../elsewhere.xml"));
            QFile::link("../elsewhere.xml", s.installPath("update.xml"));
        });
    }

    void manifestNotStored()
    {
        QFETCH(Setup, setup);
        UpdateScenario s;
        QVERIFY(prepare(s));
        s.publishManifest("2.0.0", {{"tool.dll", "1.0.0", "", ""}});
        setup(s);
        const RunResult result = s.run();
        const int failed = result.lines.indexOf("open update.xml failed");
        QVERIFY2(failed >= 0 && result.lines.indexOf("Xml updated") == failed + 1,
                 qPrintable(result.log()));
        QVERIFY(result.exitCode == 1 && result.toolStarted);
        QVERIFY(s.installationUnchanged() && s.outsideUnchanged());
    }

    // A download its checks refuse ends the run, with the file's old content and update.xml kept.
    void verification_data()
    {
        QTest::addColumn<ManifestEntry>("entry");
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("checks");
        QTest::addColumn<QByteArrayList>("edits"); // replacements in the served manifest, in pairs
        const auto row = [](const char *tag, const ManifestEntry &e, const QByteArray &served,
                            const QString &box, const QStringList &checks,
                            const QByteArrayList &edits = {}) {
            QTest::newRow(tag) << e << served << box << checks << edits;
        };
        const auto listed = [](const QByteArray &content, const Change &change = {},
                               const QString &name = "tool.dll") {
            const QString md5 = textModeMd5Of(content), sha256 = sha256Of(content);
            ManifestEntry e{name,   "2.0.0",
                            md5,    signDigest(md5, developmentPrivateKey()),
                            sha256, signDigest(sha256, developmentPrivateKey())};
            if (change)
                change(e);
            return e;
        };
        const QString md5Error = "Downloading tool.dll failed! Check MD5 error.";
        const QString shaError = "Downloading tool.dll failed! Check SHA256 error.";
        const QStringList all{
            "\"download tool.dll\"  correctly.", "\"validate tool.dll\"  correctly.",
            "\"download tool.dll\"  SHA256 correctly.", "\"validate tool.dll\"  SHA256 correctly."};
        const QStringList md5 = all.mid(0, 2);

        row("altered body", listed(newTool), newTool + "!", md5Error, {});
        row("MD5 in upper case", listed(newTool, [](ManifestEntry &e) { e.md5 = e.md5.toUpper(); }),
            newTool, md5Error, {});
        row("signature by another key",
            listed(newTool,
                   [](ManifestEntry &e) {
                       e.signature = signDigest(e.md5, testDataPath("keys/other_private.pem"));
                   }),
            newTool, "Downloading tool.dll failed! Check signature error.", all.mid(0, 1));
        // Looked up under the manifest's name, not under the local path.
        row("backslash name", listed(newTool, {}, "sub\\tool.dll"), newTool + "!",
            "Downloading sub/tool.dll failed! Check MD5 error.", {});
        // The MD5 digest ends at the 0x1A; only the SHA-256 sees what follows it.
        row("SHA-256: full match", listed(program), program, "", all);
        row("SHA-256: a byte after the first 0x1A changed", listed(program), changedAfterMark,
            shaError, md5);
        row("SHA-256: body cut after the first 0x1A", listed(program),
            program.left(program.indexOf('\x1a') + 3), shaError, md5);
        row("SHA-256 in upper case",
            listed(program,
                   [](ManifestEntry &e) {
                       e.sha256 = e.sha256.toUpper();
                       e.sha256Signature = signDigest(e.sha256, developmentPrivateKey());
                   }),
            program, shaError, md5);
        // The only guard against a loose tag comparison in readFileTable.
        row("SHA-256 elements misnamed: ignored", listed(program), changedAfterMark, "", md5,
            {"SHA256>", "Sha256>", "SHA256Signature>", "SHA256signature>"});
        row("SHA-256 signature over another text: the MD5's",
            listed(program, [](ManifestEntry &e) { e.sha256Signature = e.signature; }), program,
            shaError, all.mid(0, 3));
        row("SHA-256 elements absent: checked as before",
            listed(program,
                   [](ManifestEntry &e) {
                       e.sha256.clear();
                       e.sha256Signature.clear();
                   }),
            changedAfterMark, "", md5);
        row("SHA-256 without MD5: checked alone",
            listed(program,
                   [](ManifestEntry &e) {
                       e.md5.clear();
                       e.signature.clear();
                   }),
            program, "", all.mid(2));
    }

    void verification()
    {
        QFETCH(ManifestEntry, entry);
        QFETCH(QByteArray, served);
        QFETCH(QString, box);
        QFETCH(QStringList, checks);
        QFETCH(QByteArrayList, edits);
        UpdateScenario s;
        QVERIFY(s.startServer());
        const QString local = QString(entry.name).replace('\\', '/');
        s.install(local, oldTool);
        s.installManifest("1.0.0", {{entry.name, "1.0.0", "", ""}});
        s.publish(entry.name, served);
        QByteArray manifest = s.manifest(s.serverUrl(), "2.0.0", {entry});
        for (int i = 0; i + 1 < edits.size(); i += 2)
            manifest.replace(edits.at(i), edits.at(i + 1));
        s.publish("update.xml", manifest);
        const QByteArray localManifest = s.installed("update.xml");
        const RunResult result = s.run();
        QCOMPARE(result.lines.filter(" correctly."), checks);
        QCOMPARE(result.boxes,
                 box.isEmpty() ? QStringList() : QStringList{"CorvantileUpdate | " + box});
        QVERIFY(result.exitCode == !box.isEmpty() && result.toolStarted == box.isEmpty());
        QCOMPARE(s.installed(local), box.isEmpty() ? served : oldTool);
        QCOMPARE(s.installed("update.xml") == localManifest, !box.isEmpty());
        QVERIFY(s.outsideUnchanged());
    }

    void nestingLimitIsInclusive()
    {
        // The root counts as the first level; one level more is refused (tst_manifest).
        const int depth = maximumManifestDepth - 1;
        QDomDocument document;
        QVERIFY(parseManifest(document, "<Update>" + QByteArray("<a>").repeated(depth) +
                                            QByteArray("</a>").repeated(depth) + "</Update>"));
    }

    // Every input on which a fuzz target once crashed, hung or found a broken check.
    void fuzzRegressions_data()
    {
        QTest::addColumn<Check>("check");
        QTest::addColumn<QByteArray>("input");
        for (const auto &[kind, check] : QList<std::pair<QString, Check>>{
                 {"manifest", manifestChecksHold}, {"versions", versionChecksHold}}) {
            for (QDirIterator it(testDataPath("regressions/" + kind), QDir::Files); it.hasNext();)
                QTest::newRow(qPrintable(it.next())) << check << readFile(it.filePath());
        }
    }

    void fuzzRegressions()
    {
        QFETCH(Check, check);
        QFETCH(QByteArray, input);
        QVERIFY(check(input));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
