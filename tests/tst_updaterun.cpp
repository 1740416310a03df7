// The real updater against the fixture server, one run per path a user meets; rules: their units.
#include "tests/e2e/harness.h"

#include <QtTest>
#include <QtXml>

using Setup = std::function<void(UpdateScenario &)>;
Q_DECLARE_METATYPE(Setup)

const QByteArray oldTool = "the installed tool\n", newTool = "the server's tool\n";
// A program file: the 0x1A comes early, and most of its bytes lie after it.
const QByteArray program = QByteArrayLiteral("MZ\x90\0\3 header\x1a code after the mark");
const QString started = "TOOL STARTED file:CorvantileDevelopmentTool.exe";
const QByteArray changedAfterMark = QByteArrayLiteral("MZ\x90\0\3 header\x1a code after the MARK");

// Release 1.0.0 installed, with a file the server's release 2.0.0 drops; the new tool is signed.
static bool prepare(UpdateScenario &s)
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

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    // Every way a file can be listed, fetched one at a time in order, and all around the files.
    void fullUpdate()
    {
        UpdateScenario s;
        QVERIFY(s.startServer());
        s.install("same.dll", "same file version");
        s.install("prior.dll", "a newer file version than the server's");
        s.install("update.xml.Listed", "named as a run's leftover, yet a file of the release");
        Files expected = s.installation();
        Entries local{{"same.dll", "1", "", ""},
                      {"update.xml.Listed", "1", "", ""},
                      {"prior.dll", "1", "", ""},
                      {"../outside.txt", "1", "", ""}};
        // Dropped: a folder gives way to a file of the new release, and a file to a folder.
        for (const QString &name : QStringList{"b.dll", "New.dll", "lib", "old/a", "old/b/c"}) {
            s.install(name, "dropped");
            local.append({name, name == "b.dll" ? "1.9.0" : "1.0.0", "", ""});
        }
        s.install("sub/a.dat.update", QByteArray(4096, 'x')); // left by an interrupted run
        s.install("update.xml.k3Rq9Z", "<Update>");           // by a run killed while storing
        s.install("update.xml.lock", "999999999\nCorvantileUpdate\n\n"); // by a killed run
        QVERIFY(QFile::link("../outside.txt", s.installPath("b.dll.update")));
        s.installManifest("1.9.0", local);
        s.publish("same.dll", "not fetched");
        Entries server{local.at(0), local.at(1), {"prior.dll", "0.9", "", ""}};
        server.append({"b.dll", "1", md5Of("x"), ""}); // taken, this entry would fail the download
        QStringList captions;
        for (const QString &name : QStringList{"b.dll", "lib/x.dll", "new.dll", "old", "sub/a.dat",
                                               "sub/c/d.txt", QString::fromUtf8("数据/钱包.dat")}) {
            const bool digest = name != "sub/a.dat", signature = digest && name != "sub/c/d.txt";
            s.publish(name, expected[name] = "new " + name.toUtf8());
            server.append(s.entry(name, "1.10.0", digest, signature));
            captions << QString("CAPTION Updating %1 (%2/7)").arg(name).arg(captions.size() + 1);
        }
        s.publishManifest("1.10.0", server);

        const RunResult result = s.run();

        QVERIFY2(result.exitCode == 0 && result.boxes.isEmpty(), qPrintable(result.log()));
        QVERIFY(result.finished && result.toolStarted && result.hasLine("Xml updated"));
        QCOMPARE(result.lines.filter(QRegularExpression("^CAPTION ")), captions);
        // Each digest and signature checked: sub/c/d.txt has no signatures, sub/a.dat no digests.
        QCOMPARE(result.lines.filter(" correctly.").size(), 7 * 4 - 2 - 4);
        QDomDocument served; // stored as served, in the declaration's quotes the updater writes
        QVERIFY(served.setContent(readFile(s.releasePath("update.xml"))));
        expected.insert("update.xml", served.toByteArray(4).replace('\'', '"'));
        QCOMPARE(s.installation(), expected);
        QVERIFY(s.outsideUnchanged());
    }

    // From 1.0.0 to 2.0.0, changing nothing or installing the tool; a stopped run says why and
    // waits.
    void oneRun_data()
    {
        QTest::addColumn<Setup>("setup");
        // Lines the run shows, by their beginnings, in order; the window is closed after the last.
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<int>("exitCode");
        const auto row = [](const char *tag, const QStringList &shown, const Setup &setup,
                            int exit = 1) {
            QTest::newRow(tag) << setup << shown << exit;
        };
        const QString no = "CAPTION Update failed: ", box = "MESSAGE BOX CorvantileUpdate | ";
        const QStringList unreachable{
            "get serverXml error.",
            no + "cannot reach the server. / Check the network, then start again."};
        const QStringList badReply{"get serverXml error.",
                                   no + "bad reply from the server. / Try again later."};
        const QStringList notStored{"open update.xml failed", "Xml updated", started};
        const auto plugin = [](UpdateScenario &s) { // the release adds plugins/x.dll
            s.publish("plugins/x.dll", newTool);
            s.publishManifest("2.0.0", {s.entry("tool.dll", "2"), s.entry("plugins/x.dll", "2")});
        };
        const auto linked = [=](const QString &name) {
            return QStringList{box + "Update refused: the file \"plugins/" + name +
                               "\" lies behind the link or junction \"plugins\"."};
        };
        row("update.xml missing",
            {"update.xml not exist.", no + "update.xml is missing. / Reinstall the program."},
            [](auto &s) { QFile::remove(s.installPath("update.xml")); });
        // Nested this deep, the last server's manifest must not exhaust the stack. The copy a
        // killed run left while storing update.xml stays where a run stops before it may go on.
        row("update.xml nested too deep",
            {"localxml setcontent false", no + "update.xml is damaged. / Reinstall the program."},
            [](auto &s) {
                s.install("update.xml", QByteArray("<a>").repeated(99999));
                s.install("update.xml.k3Rq9Z", "<Update>");
            });
        row("nothing listens", unreachable,
            [](auto &s) { s.install("update.xml", s.manifest("http://127.0.0.1:1", "1", {})); });
        row("a file: address", unreachable, [](auto &s) {
            s.install("update.xml", s.manifest("file://" + s.releasePath(), "1", {}));
        });
        row("an error page", badReply, [](auto &s) {
            s.setFault("/update.xml", {{"status", 500}});
        });
        row("an answer that never ends", badReply, [](auto &s) {
            s.setFault("/update.xml", {{"endless", true}});
        });
        // Stored, it would keep "&x;" without its declaration: no later run could read it.
        row("a document type", badReply, [](auto &s) {
            s.publish("update.xml",
                      "<!DOCTYPE u [<!ENTITY v \"2.0\">]><Update><Version>&v;</Version></Update>");
        });
        // A file of the user's stands where the new file's folder goes.
        row("a staging file that cannot be made",
            {no + "a file could not be saved. / Check the disk, then start again.",
             box + "Unable to save the file plugins/x.dll: "},
            [=](auto &s) {
                s.install("plugins", "the user's");
                plugin(s);
            });
        // The staging file of the download that stalls is planted beforehand, empty as it stays.
        row("a download that stalls", {"CAPTION Updating tool.dll (1/1)"}, [](auto &s) {
            s.install("tool.dll.update", "");
            s.setFault("/tool.dll", {{"stall", 0}});
        });
        row("another run holds the lock",
            {"another run is updating this installation; nothing was changed"}, [](auto &s) {
                s.install("update.xml.k3Rq9Z", "<Update>"); // the other run's, being written
                // Held, as QLockFile writes it, by this living process.
                s.install("update.xml.lock",
                          QString("%1\n%2\n%3\n")
                              .arg(QCoreApplication::applicationPid())
                              .arg(QCoreApplication::applicationName(), QSysInfo::machineHostName())
                              .toUtf8());
            });
        row(
            "a release not newer", {"Already newest.", started},
            [](auto &s) { s.publishManifest("1.0.0", {s.entry("tool.dll", "2")}); }, 0);
        row("an unsafe name",
            {box + "Update refused: the server's manifest names the unsafe file \"../x\"."},
            [](auto &s) {
                s.publishManifest("2.0.0", {s.entry("tool.dll", "2"), {"../x", "2", "", ""}});
            });
        row("a new file's folder is a link", linked("x.dll"), [=](auto &s) {
            QFile::link("../elsewhere", s.installPath("plugins"));
            plugin(s);
        });
        // Found before any download, not when the dropped file is deleted at the end.
        row("a dropped file's folder is a link", linked("old.dll"), [](auto &s) {
            QFile::link("../elsewhere", s.installPath("plugins"));
            s.installManifest("1.0.0",
                              {{"tool.dll", "1.0.0", "", ""}, {"plugins/old.dll", "1", "", ""}});
        });
        const QStringList incomplete{"update incomplete, update.xml kept", started};
        row("a folder that cannot give way",
            QStringList{box + "Unable to install the file tool.dll: "} + incomplete, [](auto &s) {
                QFile::remove(s.installPath("tool.dll"));
                s.install("tool.dll/kept.txt", "the user's");
            });
        // A release that changes no file deletes none; the new update.xml cannot be stored.
        row("update.xml read-only", notStored, [](auto &s) {
            s.publishManifest("2.0.0", {{"tool.dll", "1.0.0", "", ""}});
            QFile::setPermissions(s.installPath("update.xml"), QFile::ReadOwner);
        });
        row("update.xml a link to a file outside", notStored, [](auto &s) {
            s.publishManifest("2.0.0", {{"tool.dll", "1.0.0", "", ""}});
            QFile::rename(s.installPath("update.xml"), s.installPath("../elsewhere/update.xml"));
            QFile::link("../elsewhere/update.xml", s.installPath("update.xml"));
        });
        // Every way a download can fail, in one run, unchecked: only the transfer stops them.
        // e.dll, installed as served, follows a broken answer, whose rest must not be taken for it.
        const QString failed = box + "Download failed: ",
                      unframed = failed + "the server did not state the length of the body.";
        const QList<std::tuple<QString, QJsonObject, QString>> faults{
            {"c.dll", {{"redirect", "/x.dll"}}, failed + "HTTP status 302"},
            {"d.dll", {{"early_hints", true}}, failed + "HTTP status 103"},
            {"e.dll", {}, ""},
            {"f.dll", {{"cut", 10}}, failed},
            {"h.dll", {{"gzip", true}}, failed + "the server sent the body encoded as gzip."},
            {"i.dll", {{"chunked", true}}, unframed},
            {"j.dll", {{"nolength", true}, {"reset", 1000}}, unframed},
            {"k.dll", {}, failed + "File too large."}, // a full disk: a write fails part way
            {"tool.dll", {{"status", 404}}, failed + "Error transferring"}};
        QStringList failures;
        for (const auto &[name, fault, line] : faults)
            failures << QStringList{line}.filter(QRegularExpression("."));
        failures += incomplete;
        row("failed downloads", failures, [=](auto &s) {
            s.install("e.dll", QByteArray("e.dll").repeated(9999)); // new on the server
            Entries server;
            for (const auto &[name, fault, line] : faults) {
                s.publish(name, name == "k.dll" ? QByteArray((1 << 20) + 99, 'k')
                                                : name.toUtf8().repeated(9999));
                s.setFault("/" + name, fault);
                server.append(s.entry(name, "2.0.0", false, false));
            }
            s.publishManifest("2.0.0", server);
            s.env.insert("CORVANTILE_E2E_FILE_SIZE_LIMIT", QString::number((1 << 20) + 7));
        });
        // The checks of a download: the tool as served, listed as the publisher lists the content
        // it signed, altered by `change`. A refused file's staging file, planted beforehand, stays.
        const auto listed = [](const QByteArray &content, const QByteArray &served,
                               const std::function<void(ManifestEntry &)> &change = {}) {
            return [=](auto &s) {
                s.publish("tool.dll", content);
                ManifestEntry e = s.entry("tool.dll", "2.0.0");
                if (change)
                    change(e);
                s.publish("tool.dll", served);
                s.install("tool.dll.update", served);
                s.publishManifest("2.0.0", {e});
            };
        };
        const QStringList installs{"Xml updated", started};
        const QString check = box + "Downloading tool.dll failed! Check ",
                      md5 = check + "MD5 error.", sha = check + "SHA256 error.";
        row("altered body", {md5}, listed(newTool, newTool + "!"));
        row("signature by another key", {check + "signature error."},
            listed(newTool, newTool, [](auto &e) {
                e.signature = signDigest(e.md5, testDataPath("keys/other_private.pem"));
            }));
        // The MD5 digest ends at the 0x1A; only the SHA-256 sees what follows it.
        row("SHA-256: full match", installs, listed(program, program), 0);
        row("SHA-256: a byte after the first 0x1A changed", {sha},
            listed(program, changedAfterMark));
        row("SHA-256 in upper case", {sha}, listed(program, program, [](auto &e) {
                e.sha256Signature =
                    signDigest(e.sha256 = e.sha256.toUpper(), developmentPrivateKey());
            }));
        row("SHA-256 signature over another text: the MD5's", {sha},
            listed(program, program, [](auto &e) { e.sha256Signature = e.signature; }));
        row("SHA-256 elements absent: checked as before", installs,
            listed(program, changedAfterMark, [](auto &e) { e.sha256 = e.sha256Signature = ""; }),
            0);
    }

    void oneRun()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, shown);
        QFETCH(int, exitCode);
        UpdateScenario s;
        QVERIFY(prepare(s));
        writeFile(s.installPath("../elsewhere/x.dll"), "outside the installation\n");
        setup(s);
        const RunResult result = s.runAndCloseAfter(shown.last());
        const QString log = "\n" + result.log();
        for (int i = 0, at = 0; i < shown.size(); ++i)
            QVERIFY2((at = log.indexOf("\n" + shown.at(i), at)) >= 0,
                     qPrintable(shown.at(i) + " not in:" + log));
        QVERIFY(result.finished && result.exitCode == exitCode);
        QCOMPARE(result.toolStarted, shown.contains(started));
        QCOMPARE(result.boxes.size(), shown.filter(QRegularExpression("^MESSAGE BOX ")).size());
        QVERIFY(s.outsideUnchanged() &&
                (s.installationUnchanged() ||
                 (!exitCode && s.installed("tool.dll") == readFile(s.releasePath("tool.dll")))));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
