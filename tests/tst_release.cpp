// The release format: names, versions, and the manifest read by position and written.
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QDomDocument>
#include <QtTest>

// A disk that is full: every write fails.
class FullDevice : public QIODevice
{
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override { return -1; }

public:
    FullDevice() { open(WriteOnly); }
};

class TestRelease : public QObject
{
    Q_OBJECT
private slots:
    void names_data()
    {
        QTest::addColumn<QStringList>("names"); // one release
        QTest::addColumn<QString>("unsafe");    // the name refused first
        const auto row = [](const QString &names, const QString &unsafe) {
            QTest::newRow(qPrintable(names)) << names.split(' ') << unsafe;
        };
        const auto each = [&](const char *names, bool safe) {
            for (const QString &name : QString::fromUtf8(names).split(' '))
                row(name, safe ? QString() : name);
        };
        each("tool.dll bin/plugins\\a.update.dll 数据/钱包.dat bin/console.dll sub/update.xml", 1);
        each("/etc/x \\windows\\x C:x \\\\server\\share\\x a/../../x a\\..\\x ./x a//b a/ .../x",
             0);
        each("Update.XML update.xml.LOCK a\x1f-b", 0);
        // Windows device names in any case, with an extension, and characters Windows refuses.
        each("bin/CON.txt prn aux.a.b Nul CONIN$ conout$ COM¹ com² COM³ lpt¹ LPT² lpt³", 0);
        for (int digit = 0; digit <= 9; ++digit)
            each(qPrintable(QString("com%1 a/LPT%1.log").arg(digit)), 0);
        for (const QChar character : QString("<>:\"|?*"))
            each(qPrintable(QString("a%1b").arg(character)), 0);
        QTest::newRow("empty") << QStringList{""} << "";
        QTest::newRow("blank that Windows drops") << QStringList{".. /x"} << ".. /x";
        row("a b/c b\\d", ""), row("a a/b", "a/b"), row("Tool.dll tool.dll", "tool.dll");
        row("b/c b\\c", "b\\c"), row("a a.update", "a"); // the staging file of another name
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
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        const auto row = [](const char *a, const char *b, int order) {
            QTest::addRow("%s vs %s", a, b) << QString(a) << QString(b) << order;
        };
        row("1.2.3", "1.2.3", 0), row("1.2.10", "1.2.9", 1), row("1.9.0", "1.10.0", -1);
        row("2.0.0", "1.99.99", 1), row("1.2.3", "1.2.3.7", 0), row("1.05.0", "1.5.0", 0);
        row("1.x.0", "1.0.0", 0), row("1..1", "1.0.0", 1), row("2.0", "2.0.1", -1);
        row("2.0", "2.0.0", 0), row("", "1.0.0", -1), row("1.99999999999.0", "1.1.0", -1);
        row("1.-1.0", "1.0.0", -1);
    }

    void versions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(compareVersions(a, b), order);
        QCOMPARE(compareVersions(b, a), -order);
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
        row("md5 in lower case", "<f><n>a</n><v>1</v><md5>d</md5></f>", "a=1 - -;");
        row("empty texts", "<f><n>a</n><v>1</v><MD5/><Signature></Signature></f>", "a=1 - -;");
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

    // A manifest nested too deep is not parsed (the root is the first level); an update.xml that
    // cannot be written whole is reported, so that the updater keeps the old one.
    void refusals()
    {
        const QByteArray deep = QByteArray("<a>").repeated(maximumManifestDepth + 1);
        QDomDocument document;
        QString error;
        QVERIFY(!parseManifest(document, deep + QByteArray(deep).replace("<", "</"), &error));
        QVERIFY(document.isNull() && error.startsWith("its elements are nested deeper than 4096"));
        FullDevice device;
        document.setContent(QString("<Update><Version>1.0.0</Version></Update>"));
        QVERIFY(!writeManifest(document, &device, &(error = QString())) && !error.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestRelease)
#include "tst_release.moc"
