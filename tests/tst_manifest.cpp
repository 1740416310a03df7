#include "release/manifest.h"

#include <QDomDocument>
#include <QtTest>

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    void elementTextReadsDirectChildrenOnly_data();
    void elementTextReadsDirectChildrenOnly();
    void fileTable_data();
    void fileTable();
    void parseManifestSaysWhy_data();
    void parseManifestSaysWhy();
    void writeManifestReportsAFailedWrite();
};

// Takes the first `room` bytes written to it and then fails, as a disk that fills up does.
class FullDevice : public QIODevice
{
public:
    explicit FullDevice(qint64 room) : room(room) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 length) override
    {
        const qint64 taken = qMin(length, room);
        room -= taken;
        return taken > 0 ? taken : -1;
    }

private:
    qint64 room;
};

static QDomDocument parse(const QString &xml)
{
    QDomDocument document;
    if (!document.setContent(xml))
        qFatal("test manifest does not parse: %s", qPrintable(xml));
    return document;
}

void TestManifest::elementTextReadsDirectChildrenOnly_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QString>("version");

    QTest::newRow("nested is not found") << "<u><a><Version>1.2.3</Version></a></u>"
                                         << "";
    QTest::newRow("first of two wins") << "<u><Version>1.0.0</Version><Version>2.0.0</Version></u>"
                                       << "1.0.0";
    QTest::newRow("tag compared exactly") << "<u><version>1.0.0</version></u>"
                                          << "";
    QTest::newRow("text joined below the element")
        << "<u><Version>1.<b>2</b>.<![CDATA[3]]></Version></u>"
        << "1.2.3";
}

void TestManifest::elementTextReadsDirectChildrenOnly()
{
    QFETCH(QString, xml);
    QFETCH(QString, version);
    QDomDocument document;
    document.setContent(xml);
    QCOMPARE(elementText(document, "Version"), version);
}

using Map = QMap<QString, QString>;
Q_DECLARE_METATYPE(Map)

void TestManifest::fileTable_data()
{
    QTest::addColumn<QString>("files");
    QTest::addColumn<Map>("table");
    QTest::addColumn<Map>("digests");
    QTest::addColumn<Map>("signatures");

    QTest::newRow("full entry")
        << "<Files><f><n>a.dll</n><v>1.0.0</v><MD5>abc</MD5><Signature>c2ln</Signature></f></Files>"
        << Map{{"a.dll", "1.0.0"}} << Map{{"a.dll", "abc"}} << Map{{"a.dll", "c2ln"}};
    QTest::newRow("md5 in the wrong case gives no digest")
        << "<Files><f><n>a</n><v>1</v><md5>abc</md5><Signature>s</Signature></f></Files>"
        << Map{{"a", "1"}} << Map{} << Map{{"a", "s"}};
    QTest::newRow("empty digest and signature are not recorded")
        << "<Files><f><n>a</n><v>1</v><MD5/><Signature></Signature></f></Files>" << Map{{"a", "1"}}
        << Map{} << Map{};
    QTest::newRow("digest and signature only by position")
        << "<Files><f><n>a</n><v>1</v><Signature>s</Signature><MD5>abc</MD5></f></Files>"
        << Map{{"a", "1"}} << Map{} << Map{};
    QTest::newRow("positions after the fourth are ignored")
        << "<Files><f><n>a</n><v>1</v><MD5>d</MD5><Signature>s</Signature><MD5>x</MD5></f></Files>"
        << Map{{"a", "1"}} << Map{{"a", "d"}} << Map{{"a", "s"}};
    QTest::newRow("later duplicate wins only where non-empty")
        << "<Files><f><n>a</n><v>1</v><MD5>old</MD5><Signature>s1</Signature></f>"
           "<f><n>a</n><v>2</v><MD5>new</MD5><Signature/></f></Files>"
        << Map{{"a", "2"}} << Map{{"a", "new"}} << Map{{"a", "s1"}};
    QTest::newRow("comment before the name shifts the positions")
        << "<Files><f><!--c--><n>a</n><v>1</v></f></Files>" << Map{{"", "a"}} << Map{} << Map{};
    QTest::newRow("comment and text inside Files are entries of their own")
        << "<Files><!--c-->text<f><n>a</n><v>1</v></f></Files>" << Map{{"", ""}, {"a", "1"}}
        << Map{} << Map{};
    QTest::newRow("only the first Files is read")
        << "<Files><f><n>a</n><v>1</v></f></Files><Files><f><n>b</n><v>1</v></f></Files>"
        << Map{{"a", "1"}} << Map{} << Map{};
    QTest::newRow("nested Files is not read")
        << "<x><Files><f><n>a</n><v>1</v></f></Files></x>" << Map{} << Map{} << Map{};
    QTest::newRow("indentation is no entry and no position")
        << "\n  <Files>\n    <f>\n      <n>a</n>\n      <v>1</v>\n      <MD5>d</MD5>\n    </f>\n  "
           "</Files>\n"
        << Map{{"a", "1"}} << Map{{"a", "d"}} << Map{};
}

void TestManifest::fileTable()
{
    QFETCH(QString, files);
    QFETCH(Map, table);
    QFETCH(Map, digests);
    QFETCH(Map, signatures);

    Map readDigests;
    Map readSignatures;
    const QDomDocument document = parse("<u><Version>1.0.0</Version>" + files + "</u>");
    QCOMPARE(readFileTable(document, &readDigests, &readSignatures), table);
    QCOMPARE(readDigests, digests);
    QCOMPARE(readSignatures, signatures);
}

void TestManifest::parseManifestSaysWhy_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");

    QTest::newRow("well-formed") << QByteArray("<Update><Version>1.0.0</Version></Update>")
                                 << QString();
    QTest::newRow("element never closed") << QByteArray("<Update>\n<Version>1.0.0</Version>\n")
                                          << "not a well-formed XML manifest (line 3, column ";
    QTest::newRow("one level past the limit")
        << QByteArray("<a>").repeated(maximumManifestDepth + 1) +
               QByteArray("</a>").repeated(maximumManifestDepth + 1)
        << QString("its elements are nested deeper than %1 levels (line 1, column %2)")
               .arg(maximumManifestDepth)
               .arg(3 * (maximumManifestDepth + 1));
}

void TestManifest::parseManifestSaysWhy()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    QDomDocument document;
    QString reported;
    QCOMPARE(parseManifest(document, content, &reported), error.isNull());
    QVERIFY2(reported.startsWith(error), qPrintable(reported));
    QCOMPARE(reported.isNull(), error.isNull());
    QCOMPARE(document.isNull(), !error.isNull());
}

// The updater keeps its old update.xml when the new one cannot be written whole; it learns of a
// full disk only from this result.
void TestManifest::writeManifestReportsAFailedWrite()
{
    FullDevice device(20);
    QString error;
    QVERIFY(!writeManifest(parse("<Update><Version>1.0.0</Version></Update>"), &device, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_APPLESS_MAIN(TestManifest)
#include "tst_manifest.moc"
