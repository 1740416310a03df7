// The libraries one by one: integrity (its Windows side: tests/windows), release format, window.
#include "app/update/downloadlistlog.h"
#include "app/widget.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "integrity/signature.h"
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"
#include "tests/fuzz/fuzzchecks.h"
#include "tests/testsupport.h"
#include "widgets/myprogressbar.h"

#include <QDomDocument>
#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <cstring>

static QStringList logged;

class TestUnits : public QObject
{
    Q_OBJECT
    QTemporaryDir directory; // the working directory: files, and the window's update.xml
    const QByteArray digest = "900150983cd24fb0d6963f7d28e17f72"; // as manifests list digests
    QByteArray valid;
    static QString text(const std::string &value) { return QString::fromStdString(value); }
    static QString link(const char *path) { return text(linkOnTheWay(path).value_or("")); }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(directory.path()));
        QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
        valid = signBlock("keys/dev_private.pem", digest);
    }

    void digests_data()
    {
        QTest::addColumn<QByteArray>("raw");
        const QByteArray read(1023, 'x'); // the digest reads 1024 bytes at a time
        QByteArray noise; // dense CR and LF over 64 reads, then the first 0x1A soon after
        QRandomGenerator random(18);
        for (int i = 0; i < 200 * 1024; ++i)
            noise += "\r\n\r\nx\x1a"[random.bounded(i < 64 * 1024 ? 5 : 6)];
        QTest::newRow("CR LF, lone CR, LF CR, CR CR LF, CR before 0x1A")
            << QByteArray("a\r\nb\rc\n\rd\r\r\ne\r\x1a\nf\r\n");
        QTest::newRow("CR CR LF across reads") << read + "\r\r\ntail";
        QTest::newRow("CR ending one full read") << read + "\r";
        QTest::newRow("CR ending a read before 0x1A") << read + "\r\x1a" + "tail";
        QTest::newRow("many reads, then 0x1A and more") << noise;
        QTest::newRow("56 bytes: the length in a block of its own") << QByteArray(56, 'x');
    }

    // The text-mode MD5 and the SHA-256 of every raw byte, alone and from one read.
    void digests()
    {
        QFETCH(QByteArray, raw);
        writeFile("file.bin", raw);
        const FileDigestTexts both = md5AndSha256OfFile("file.bin");
        const QString expected = textModeMd5Of(raw) + " " + sha256Of(raw);
        QCOMPARE(text(both.md5 + " " + both.sha256), expected);
        QCOMPARE(text(md5OfFile("file.bin") + " " + sha256OfFile("file.bin")), expected);
    }

    void signatures_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("accepted");
        const QByteArray base64 = valid.toBase64();
        QTest::newRow("over the digest") << base64 << digest << true;
        QTest::newRow("breaks and blanks in the Base64")
            << QByteArray(base64).insert(64, "\r\n").insert(20, " ") << digest << true;
        QTest::newRow("bytes past the modulus length do not count")
            << (valid + QByteArray(40, 'Z')).toBase64() << digest << true;
        QTest::newRow("digest in upper case") << base64 << digest.toUpper() << false;
        QTest::newRow("digest a prefix of the signed text") << base64 << digest.left(31) << false;
        QTest::newRow("signed text with a LF more")
            << signBlock("keys/dev_private.pem", digest + "\n").toBase64() << digest << false;
        QTest::newRow("another key")
            << signBlock("keys/other_private.pem", digest).toBase64() << digest << false;
    }

    void signatures()
    {
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, expected);
        QFETCH(bool, accepted);
        StandardOutputCapture capture;
        QCOMPARE(checkSignature(signature, expected), accepted);
    }

    // The whole signature stands in memory: a call that read past the length given would open it.
    // The trace has no line end; OpenSSL's reason for an unreadable key carries a real error code.
    void refusedRecovery()
    {
        int size = 0;
        const auto *signature = reinterpret_cast<const unsigned char *>(valid.constData());
        StandardOutputCapture capture;
        publicKey_decrypt(signature, valid.size() - 1, publicKeyPem, &size);
        QCOMPARE(size, -1);
        QByteArray key = readTestData("keys/dev_public.pem").replace(40, 8, "!!!!!!!!");
        publicKey_decrypt(signature, valid.size(), key.constData(), &size);
        QCOMPARE(size, -1);
        QVERIFY(capture.captured().contains(QRegularExpression(
            "^publicKey_decrypt \\S+publicKey_decrypt \\S+load public key failed\\[error:"
            "(?!00000000)[0-9A-F]{8}:[^\\n]+\\]\\n$")));
    }

    // CR LF and 0x1A in the contents would show a replace that translated anything.
    void platformFile()
    {
        const QString wide = QString::fromUtf8("bin/更新-файл.dll");
        const QByteArray old = "old\r\n\x1a\r", staged = "new\r\n\x1a\r\r";
        for (const QString &name : QStringList{wide, wide + ".update", "dir/in.dll", "dir.update"})
            writeFile(name, name.endsWith(".update") ? staged : old);
        writeFile("tool.dll", old);
        std::string reason;
        QVERIFY(replaceFile((wide + ".update").toStdString(), wide.toStdString(), &reason));
        QVERIFY(readFile(wide) == staged && !QFile::exists(wide + ".update"));
        QVERIFY(!replaceFile("dir.update", "dir", &reason));
        QCOMPARE(text(reason), std::strerror(EISDIR));
        QVERIFY(!replaceFile("tool.dll.update", "tool.dll", &reason));
        QVERIFY(syncFiles({"tool.dll"}) && !syncFiles({"tool.dll", "tool.dll.update"}, &reason));
        QCOMPARE(text(reason), QString("tool.dll.update: ") + std::strerror(ENOENT));
        QVERIFY(readFile("dir/in.dll") + readFile("dir.update") + readFile("tool.dll") ==
                old + staged + old);
        // A link on the way to a file is found; a link itself is replaced or removed, not followed.
        writeFile("Tool.dll", "a");
        QVERIFY(QDir().mkdir("real") && QFile::link(".", "real/b"));
        QVERIFY(QFile::link("real", "plugins") && QFile::link("Tool.dll", "alias.dll"));
        QVERIFY(isSameFile("Tool.dll", "alias.dll") && !isSameFile("Tool.dll", "real"));
        const QStringList found = {link("plugins/x.dll"), link("real/b/x.dll"), link("real/x.dll"),
                                   link("plugins")};
        QCOMPARE(found, QStringList({"plugins", "real/b", "", ""}));
    }

    void names_data()
    {
        QTest::addColumn<QStringList>("names"); // one release
        QTest::addColumn<QString>("unsafe");    // the name refused first
        const auto row = [](const QString &names, const QString &unsafe) {
            QTest::newRow(qPrintable(names)) << names.split(',') << unsafe;
        };
        const auto each = [&](const char *names) {
            for (const QString &name : QString::fromUtf8(names).split(' '))
                row(name, name);
        };
        row("x\\a.update.dll,数据/钱包.dat,console.dll,sub/update.xml,b/c,b\\d", "");
        each("/etc/x \\windows\\x C:x \\\\server\\share\\x a/../../x a\\..\\x ./x a//b");
        each("a/ bin/a. .../x Update.XML update.xml.LOCK a\x1f-b");
        // Windows device names in any case, with an extension, and characters Windows refuses.
        each("bin/CON.txt prn aux.a.b Nul CONIN$ conout$ COM¹ com² COM³ lpt¹ LPT² lpt³");
        for (int digit = 0; digit <= 9; ++digit)
            each(qPrintable(QString("com%1 a/LPT%1.log").arg(digit)));
        each("a<b a>b a:b a\"b a|b a?b a*b");
        row("", ""), row(".. /x", ".. /x"), row("CON .txt", "CON .txt"), row("a,a/b", "a/b");
        row("Tool.dll,tool.dll", "tool.dll"), row("b/c,b\\c", "b\\c"), row("a,a.update", "a");
    }

    void names()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, unsafe);
        const auto found = firstUnsafeName(names);
        QCOMPARE(found ? found->name : QString(), unsafe);
    }

    // Three numeric components; a missing, empty, non-numeric or out-of-range one counts as 0.
    void versions_data()
    {
        QTest::addColumn<QString>("comparison");
        for (const char *row :
             {"1.2.3 = 1.2.3", "1.2.10 > 1.2.9", "1.9.0 < 1.10.0", "2.0.0 > 1.99.99",
              "1.2.3 = 1.2.3.7", "1.05.0 = 1.5.0", "1.x.0 = 1.0.0", "1..1 > 1.0.0", "2.0 < 2.0.1",
              "2.0 = 2.0.0", " < 1.0.0", "1.99999999999.0 < 1.1.0", "1.-1.0 < 1.0.0"})
            QTest::newRow(row) << QString(row);
    }

    void versions()
    {
        QFETCH(QString, comparison);
        const QStringList parts = comparison.split(' '); // a, one of < = >, b
        const int order = QString("<=>").indexOf(parts[1]) - 1;
        QCOMPARE(compareVersions(parts[0], parts[2]), order);
        QCOMPARE(compareVersions(parts[2], parts[0]), -order);
    }

    // Of Version and Files only the first directly below the root, by its exact tag, counts. Each
    // child of Files is an entry (a comment too), each child of an entry a position: name, version,
    // MD5, Signature; a digest or signature counts only under its exact tag and when not empty.
    // Too deep a manifest is refused; a failed write of update.xml is reported (the old one stays);
    // a server address with a fragment would swallow the "/update.xml" installations append.
    void manifest()
    {
        QDomDocument document;
        document.setContent(QString(
            "<u><x><Version>9</Version><Files><f><n>x</n></f></Files></x><version>8</version>"
            "<Version>1.<b>2</b>.<![CDATA[3]]></Version><Version>7</Version><Files>"
            "<f><n>a</n><v>1</v><MD5>d</MD5><Signature>s</Signature></f>"
            "<f><n>b</n><v>2</v><md5>d</md5><Signature/></f>"
            "<f><n>c</n><v>3</v><Signature>s</Signature><MD5>d</MD5></f>"
            "<f><n>d</n><v>4</v><MD5s>d</MD5s></f>"
            "<f><!--c--><n>e</n><v>5</v></f><!--c--></Files><Files><f><n>y</n></f></Files></u>"));
        QCOMPARE(elementText(document, "Version"), "1.2.3");
        QMap<QString, QString> digests, signatures;
        const FileTable table = readFileTable(document, &digests, &signatures);
        QString entries;
        for (const QString &name : table.keys())
            entries += name + "=" + table[name] + " " + digests.value(name, "-") + " " +
                       signatures.value(name, "-") + ";";
        QCOMPARE(entries, "= - -;a=1 d s;b=2 - -;c=3 - -;d=4 - -;");
        const auto nested = [](int depth) {
            const QByteArray open = QByteArray("<a>").repeated(depth);
            return open + QByteArray(open).replace("<", "</");
        };
        QVERIFY(parseManifest(document, nested(maximumManifestDepth)));
        QString error;
        QVERIFY(!parseManifest(document, nested(maximumManifestDepth + 1), &error));
        QVERIFY(document.isNull() && error.startsWith("its elements are nested deeper than 4096"));
        struct : QBuffer // a full disk: every write fails
        {
            qint64 writeData(const char *, qint64) override { return -1; }
        } device;
        device.open(QIODevice::WriteOnly);
        document.setContent(QString("<Update><Version>1.0.0</Version></Update>"));
        QVERIFY(!writeManifest(document, &device, &(error = QString())) && !error.isEmpty());
        QVERIFY(!serverAddressProblem("http://127.0.0.1/release#1").isNull());
        // Once broke a fuzz target.
        QVERIFY(manifestChecksHold(readTestData("regressions/manifest/nameless-entries.xml")));
    }

    // l, r, m press that button, in capitals release it; then the mouse moves, left button held.
    void dragging_data()
    {
        QTest::addColumn<QString>("clicks");
        QTest::addColumn<bool>("drags");
        QTest::newRow("left button drags") << "l" << true;
        QTest::newRow("right or middle button does not") << "rm" << false;
        QTest::newRow("a right click ends a left drag") << "lrR" << false;
        QTest::newRow("release ends the drag") << "lL" << false;
    }

    void dragging()
    {
        QFETCH(QString, clicks);
        QFETCH(bool, drags);
        Widget widget;
        widget.move(100, 100); // so that a window position and a screen position differ
        const QPoint start = widget.pos(), grip(20, 30), target(500, 400);
        for (const QChar click : clicks)
            QTest::mouseEvent(click.isLower() ? QTest::MousePress : QTest::MouseRelease, &widget,
                              Qt::MouseButton(1 << QString("lrm").indexOf(click.toLower())), {},
                              grip);
        QMouseEvent move(QEvent::MouseMove, widget.mapFromGlobal(target), target, Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(&widget, &move);
        QCOMPARE(widget.pos(), drags ? target - grip : start);
    }

    // Port 1 on loopback, where nothing listens: the run stops, saying why on two lines that fit;
    // the indicator's sign travels 3.64 pixels per percent and a new value is signalled once.
    void window()
    {
        writeFile("update.xml", "<u><UpdateServer>http://127.0.0.1:1</UpdateServer></u>");
        Widget widget;
        QCOMPARE(widget.windowTitle(), "CorvantileUpdate");
        const auto label = widget.findChild<QLabel *>("tipLabel");
        QTRY_COMPARE(
            label->text(),
            "Update failed: cannot reach the server.\nCheck the network, then start again.");
        const QFontMetrics metrics(label->font());
        for (const QString &line : label->text().split('\n'))
            QVERIFY(metrics.horizontalAdvance(line) <= label->contentsRect().width());
        QVERIFY(2 * metrics.lineSpacing() <= label->contentsRect().height());
        const auto indicator = widget.findChild<MyProgressBar *>();
        QSignalSpy spy(indicator, &MyProgressBar::valueChanged);
        indicator->setValue(100);
        indicator->setValue(100);
        QCOMPARE(indicator->findChild<QLabel *>()->x(), 364);
        QCOMPARE(indicator->findChild<QProgressBar *>()->value(), 100);
        QVERIFY(spy.count() == 1 && spy.at(0).at(0) == 100);
    }

    // Up to a hundred entries as the plain debug stream writes the list, then a count of the rest.
    void downloadList()
    {
        QStringList plan;
        for (int i = 0; i < 101; ++i)
            plan << QString::fromUtf8("http://h/钱包 \"%1\"\\.dat").arg(i);
        DownloadListLog log;
        log.plan(plan);
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &line) { logged << line; });
        for (int from = 0; from <= plan.size(); ++from) {
            log.write(plan.mid(from));
            qDebug() << "downlist : "
                     << (from ? plan.mid(from) : plan.mid(0, 100) << "… and 1 more");
        }
        qInstallMessageHandler(previous);
        for (int line = 0; line < logged.size(); line += 2)
            QCOMPARE(logged.at(line), logged.at(line + 1));
    }
};

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
