// The libraries one by one: integrity (its Windows side: tests/windows), release format, window.
#include "app/update/downloadlistlog.h"
#include "app/widget.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "integrity/signature.h"
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"
#include "tests/testsupport.h"
#include "widgets/myprogressbar.h"

#include <QDomDocument>
#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <cstring>

static QStringList logged;

// A disk that is full: every write fails.
struct FullDevice : QBuffer
{
    qint64 writeData(const char *, qint64) override { return -1; }
};

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
        QTest::newRow("another digest") << base64 << digest.left(31) + "0" << false;
        QTest::newRow("digest in upper case") << base64 << digest.toUpper() << false;
        QTest::newRow("digest a prefix of the signed text") << base64 << digest.left(31) << false;
        QTest::newRow("signed text with a LF more")
            << signBlock("keys/dev_private.pem", digest + "\n").toBase64() << digest << false;
        QTest::newRow("another key")
            << signBlock("keys/other_private.pem", digest).toBase64() << digest << false;
        QTest::newRow("one byte short") << valid.chopped(1).toBase64() << digest << false;
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
    void replace()
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
        QCOMPARE(text(reason), std::strerror(ENOENT));
        QVERIFY(readFile("dir/in.dll") + readFile("dir.update") + readFile("tool.dll") ==
                old + staged + old);
    }

    void sameFileAndLinks()
    {
        writeFile("Tool.dll", "a");
        QVERIFY(QDir().mkdir("real") && QFile::link(".", "real/b"));
        QVERIFY(QFile::link("real", "plugins") && QFile::link("Tool.dll", "alias.dll"));
        QVERIFY(isSameFile("Tool.dll", "alias.dll") && !isSameFile("Tool.dll", "real"));
        QCOMPARE(link("plugins/x.dll"), "plugins");
        QCOMPARE(link("real/b/x.dll"), "real/b");
        QCOMPARE(link("real/x.dll"), "");
        QCOMPARE(link("plugins"), ""); // a link itself is replaced or removed, never followed
    }

    void names_data()
    {
        QTest::addColumn<QStringList>("names"); // one release
        QTest::addColumn<QString>("unsafe");    // the name refused first
        const auto row = [](const QString &names, const QString &unsafe) {
            QTest::newRow(qPrintable(names)) << names.split(',') << unsafe;
        };
        const auto each = [&](const char *names, bool safe) {
            for (const QString &name : QString::fromUtf8(names).split(' '))
                row(name, safe ? QString() : name);
        };
        each("tool.dll bin/x\\a.update.dll 数据/钱包.dat bin/console.dll sub/update.xml", true);
        each("/etc/x \\windows\\x C:x \\\\server\\share\\x a/../../x a\\..\\x ./x a//b", false);
        each("a/ bin/a. .../x Update.XML update.xml.LOCK a\x1f-b", false);
        // Windows device names in any case, with an extension, and characters Windows refuses.
        each("bin/CON.txt prn aux.a.b Nul CONIN$ conout$ COM¹ com² COM³ lpt¹ LPT² lpt³", false);
        for (int digit = 0; digit <= 9; ++digit)
            each(qPrintable(QString("com%1 a/LPT%1.log").arg(digit)), false);
        each("a<b a>b a:b a\"b a|b a?b a*b", false);
        row("", ""), row(".. /x", ".. /x"), row("a,b/c,b\\d", ""), row("a,a/b", "a/b");
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

    // Each child of Files is an entry, each child of an entry a position: name, version, MD5,
    // Signature; a digest or signature counts only under its exact tag and when not empty.
    void fileTable_data()
    {
        QTest::addColumn<QString>("files");
        QTest::addColumn<QString>("read"); // per entry: name=version digest signature;
        const auto row = [](const char *name, const char *files, const char *read) {
            QTest::newRow(name) << QString(files) << QString(read);
        };
        row("full", "<f><n>a</n><v>1</v><MD5>d</MD5><Signature>s</Signature></f>", "a=1 d s;");
        row("md5 lower, empty", "<f><n>a</n><v>1</v><md5>d</md5><Signature/></f>", "a=1 - -;");
        row("swapped", "<f><n>a</n><v>1</v><Signature>s</Signature><MD5>d</MD5></f>", "a=1 - -;");
        // A comment takes a position in an entry, and is an entry of its own in Files.
        row("comments", "<f><!--c--><n>a</n><v>1</v></f><!--c-->", "= - -;");
    }

    void fileTable()
    {
        QFETCH(QString, files);
        QFETCH(QString, read);
        QDomDocument document;
        // Of Version and Files, only the first directly below the root, by its exact tag, counts.
        document.setContent("<u><x><Version>9</Version><Files><f><n>b</n></f></Files></x>"
                            "<version>8</version><Version>1.<b>2</b>.<![CDATA[3]]></Version>"
                            "<Version>7</Version><Files>" +
                            files + "</Files><Files><f><n>c</n></f></Files></u>");
        QCOMPARE(elementText(document, "Version"), "1.2.3");
        QMap<QString, QString> digests, signatures;
        const FileTable table = readFileTable(document, &digests, &signatures);
        QString entries;
        for (const QString &name : table.keys())
            entries += name + "=" + table[name] + " " + digests.value(name, "-") + " " +
                       signatures.value(name, "-") + ";";
        QCOMPARE(entries, read);
    }

    // Too deep a manifest is refused; a failed write of update.xml is reported (the old one stays).
    void refusals()
    {
        const QByteArray deep = QByteArray("<a>").repeated(maximumManifestDepth + 1);
        QDomDocument document;
        QString error;
        QVERIFY(!parseManifest(document, deep + QByteArray(deep).replace("<", "</"), &error));
        QVERIFY(document.isNull() && error.startsWith("its elements are nested deeper than 4096"));
        FullDevice device;
        device.open(QIODevice::WriteOnly);
        document.setContent(QString("<Update><Version>1.0.0</Version></Update>"));
        QVERIFY(!writeManifest(document, &device, &(error = QString())) && !error.isEmpty());
    }

    void indicator_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("signX");
        QTest::newRow("1") << 1 << 3;
        QTest::newRow("100: the sign at the bar's end") << 100 << 364;
        QTest::newRow("the value it has: no signal") << 30 << 109;
        QTest::newRow("-1: the bar keeps its value") << -1 << -3;
        QTest::newRow("int maximum does not overflow") << INT_MAX << INT_MAX;
    }

    void indicator()
    {
        QFETCH(int, value);
        QFETCH(int, signX);
        MyProgressBar indicator;
        indicator.setValue(30);
        QSignalSpy spy(&indicator, &MyProgressBar::valueChanged);
        indicator.setValue(value);
        QCOMPARE(indicator.findChild<QLabel *>()->pos(), QPoint(signX, 0));
        QCOMPARE(indicator.findChild<QProgressBar *>()->value(), uint(value) > 100 ? 30 : value);
        QCOMPARE(spy.count(), value == 30 ? 0 : 1);
        QVERIFY(spy.isEmpty() || spy.at(0).at(0).toInt() == value);
    }

    void dragging_data()
    {
        QTest::addColumn<QString>("clicks"); // l, r, m press that button; in capitals, release it
        QTest::addColumn<bool>("moves");
        QTest::newRow("left button drags") << "l" << true;
        QTest::newRow("right or middle button does not") << "rm" << false;
        QTest::newRow("a right click ends a left drag") << "lrR" << false;
        QTest::newRow("release ends the drag") << "lL" << false;
    }

    void dragging()
    {
        QFETCH(QString, clicks);
        QFETCH(bool, moves);
        Widget widget;
        widget.move(100, 100); // so that a window position and a screen position differ
        const QPoint start = widget.pos(), grip(20, 30), target(500, 400);
        for (const QChar click : clicks) {
            const auto button = Qt::MouseButton(1 << QString("lrm").indexOf(click.toLower()));
            click.isLower() ? QTest::mousePress(&widget, button, {}, grip)
                            : QTest::mouseRelease(&widget, button, {}, grip);
        }
        QMouseEvent move(QEvent::MouseMove, widget.mapFromGlobal(target), target, Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(&widget, &move);
        QCOMPARE(widget.pos(), moves ? target - grip : start);
    }

    // Port 1 on loopback, where nothing listens: the run stops, saying why on two lines that fit.
    void stoppedRunCaption()
    {
        writeFile("update.xml", "<u><UpdateServer>http://127.0.0.1:1</UpdateServer></u>");
        Widget widget;
        const auto label = widget.findChild<QLabel *>("tipLabel");
        QTRY_COMPARE(
            label->text(),
            "Update failed: cannot reach the server.\nCheck the network, then start again.");
        const QFontMetrics metrics(label->font());
        for (const QString &line : label->text().split('\n'))
            QVERIFY(metrics.horizontalAdvance(line) <= label->contentsRect().width());
        QVERIFY(2 * metrics.lineSpacing() <= label->contentsRect().height());
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
        for (int first = 0; first <= plan.size(); ++first) {
            log.write(plan.mid(first));
            QStringList shown = plan.mid(first, 100);
            if (plan.size() - first > 100)
                shown << QString::fromUtf8("… and %1 more").arg(plan.size() - first - 100);
            qDebug() << "downlist : " << shown;
        }
        qInstallMessageHandler(previous);
        for (int line = 0; line < logged.size(); line += 2)
            QCOMPARE(logged.at(line), logged.at(line + 1));
    }
};

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
