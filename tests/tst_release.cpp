// The release format: names, versions, and the manifest read by position and written.
#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QDomDocument>
#include <QtTest>

using Map = QMap<QString, QString>;

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
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("unsafe"); // the name refused first
        const auto rows = [](const char *names, bool safe) {
            for (const QString &name : QString::fromUtf8(names).split(' '))
                QTest::newRow(qPrintable(name)) << QStringList{name} << (safe ? QString() : name);
        };
        rows("tool.dll bin/plugins\\a.update.dll 数据/钱包.dat bin/console.dll sub/update.xml",
             true);
        rows("/etc/x \\windows\\x C:x \\\\server\\share\\x a/../../x a\\..\\x ./x a//b a/ .../x "
             "Update.XML update.xml.LOCK a\x1f-b",
             false);
        // Every Windows device name, in any case and with an extension, and every refused
        // character.
        rows("bin/CON.txt prn aux.a.b Nul CONIN$ conout$ COM¹ com² COM³ lpt¹ LPT² lpt³", false);
        for (int digit = 0; digit <= 9; ++digit)
            rows(qPrintable(QString("com%1 a/LPT%1.log").arg(digit)), false);
        for (const QChar character : QString("<>:\"|?*"))
            rows(qPrintable(QString("a%1b").arg(character)), false);
        QTest::newRow("empty") << QStringList{""} << "";
        QTest::newRow("blank Windows drops") << QStringList{".. /x"} << ".. /x";
        QTest::newRow("distinct") << QStringList{"a", "b/c", "b\\d"} << QString();
        QTest::newRow("a file where a folder is") << QStringList{"a", "a/b"} << "a/b";
        QTest::newRow("after a safe one") << QStringList{"a", "../b"} << "../b";
        QTest::newRow("case only") << QStringList{"Tool.dll", "tool.dll"} << "tool.dll";
        QTest::newRow("either slash") << QStringList{"b/c", "b\\c"} << "b\\c";
        QTest::newRow("staging file of another") << QStringList{"a", "a.update"} << "a";
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
        row("1.2.3", "1.2.3", 0), row("", "", 0), row("1.2.10", "1.2.9", 1);
        row("1.9.0", "1.10.0", -1), row("2.0.0", "1.99.99", 1), row("1.2.3", "1.2.3.7", 0);
        row("1.05.0", "1.5.0", 0), row("1.x.0", "1.0.0", 0), row("1..1", "1.0.0", 1);
        row("2.0", "2.0.1", -1), row("2.0", "2.0.0", 0), row("", "1.0.0", -1);
        row("1.99999999999.0", "1.1.0", -1), row("1.-1.0", "1.0.0", -1);
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
        QTest::addColumn<Map>("table");
        QTest::addColumn<Map>("digests");
        QTest::addColumn<Map>("signatures");
        QTest::newRow("full entry") << "<f><n>a</n><v>1</v><MD5>d</MD5><Signature>s</Signature></f>"
                                    << Map{{"a", "1"}} << Map{{"a", "d"}} << Map{{"a", "s"}};
        QTest::newRow("md5 in lower case")
            << "<f><n>a</n><v>1</v><md5>d</md5></f>" << Map{{"a", "1"}} << Map{} << Map{};
        QTest::newRow("empty texts") << "<f><n>a</n><v>1</v><MD5/><Signature></Signature></f>"
                                     << Map{{"a", "1"}} << Map{} << Map{};
        QTest::newRow("swapped") << "<f><n>a</n><v>1</v><Signature>s</Signature><MD5>d</MD5></f>"
                                 << Map{{"a", "1"}} << Map{} << Map{};
        // The comment in the entry takes the name's position; the one after it is an entry too.
        QTest::newRow("comments") << "<f><!--c--><n>a</n><v>1</v></f><!--c-->" << Map{{"", ""}}
                                  << Map{} << Map{};
    }

    void fileTable()
    {
        QFETCH(QString, files);
        QFETCH(Map, table);
        QFETCH(Map, digests);
        QFETCH(Map, signatures);
        Map readDigests, readSignatures;
        QDomDocument document;
        // Of Version and Files, only the first directly below the root, by its exact tag, counts.
        document.setContent("<u><x><Version>9</Version><Files><f><n>b</n></f></Files></x>"
                            "<version>8</version><Version>1.<b>2</b>.<![CDATA[3]]></Version>"
                            "<Version>7</Version><Files>" +
                            files + "</Files><Files><f><n>c</n></f></Files></u>");
        QCOMPARE(elementText(document, "Version"), "1.2.3");
        QCOMPARE(readFileTable(document, &readDigests, &readSignatures), table);
        QCOMPARE(readDigests, digests);
        QCOMPARE(readSignatures, signatures);
    }

    // A manifest nested too deep is not parsed; an update.xml that cannot be written whole is
    // reported, so that the updater keeps the old one.
    void refusals()
    {
        const int deep = maximumManifestDepth + 1; // the root is the first level
        QDomDocument document;
        QString error;
        QVERIFY(!parseManifest(document,
                               QByteArray("<a>").repeated(deep) + QByteArray("</a>").repeated(deep),
                               &error));
        QVERIFY(document.isNull());
        QCOMPARE(error, QString("its elements are nested deeper than %1 levels (line 1, column %2)")
                            .arg(deep - 1)
                            .arg(3 * deep));
        FullDevice device;
        document.setContent(QString("<Update><Version>1.0.0</Version></Update>"));
        error.clear();
        QVERIFY(!writeManifest(document, &device, &error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestRelease)
#include "tst_release.moc"
