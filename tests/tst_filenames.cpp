#include "release/filenames.h"

#include <QtTest>

class TestFileNames : public QObject
{
    Q_OBJECT

private slots:
    void safety_data();
    void safety();
    void collisions_data();
    void collisions();
};

void TestFileNames::safety_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << "tool.dll" << true;
    QTest::newRow("subfolder") << "bin/plugins/a.dll" << true;
    QTest::newRow("backslash subfolder") << "bin\\a.dll" << true;
    QTest::newRow("dot inside a name") << "bin/a.update.dll" << true;
    QTest::newRow("outside Latin-1") << QString::fromUtf8("数据/钱包.dat") << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("absolute backslash") << "\\windows\\x.dll" << false;
    QTest::newRow("drive absolute") << "C:\\x.dll" << false;
    QTest::newRow("drive relative") << "C:x.dll" << false;
    QTest::newRow("unc") << "\\\\server\\share\\x" << false;
    QTest::newRow("parent") << "../x" << false;
    QTest::newRow("parent inside") << "a/../../x" << false;
    QTest::newRow("parent backslash") << "a\\..\\..\\x" << false;
    QTest::newRow("parent alone") << ".." << false;
    QTest::newRow("dot component") << "./x" << false;
    QTest::newRow("empty component") << "a//b" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("windows trims dots") << ".../x" << false;
    QTest::newRow("windows trims blanks") << ".. /x" << false;
    QTest::newRow("alternate stream") << "a.dll:evil" << false;
    QTest::newRow("control character") << QString("a\nb") << false;
    QTest::newRow("wildcard") << "a?.dll" << false;
    QTest::newRow("device name") << "bin/CON" << false;
    QTest::newRow("device name with extension") << "com1.txt" << false;
    QTest::newRow("the installation's manifest") << "Update.XML" << false;
    QTest::newRow("a manifest in a subfolder") << "sub/update.xml" << true;
    QTest::newRow("the lock of a running update") << "update.xml.LOCK" << false;
}

void TestFileNames::safety()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(unsafeNameReason(name).isNull(), safe);
}

void TestFileNames::collisions_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("unsafe");

    QTest::newRow("distinct") << QStringList{"a", "b/c", "b\\d"} << QString();
    QTest::newRow("file where a folder is needed")
        << QStringList{"a.dll", "a.dll/b.dll"} << "a.dll/b.dll";
    QTest::newRow("unsafe name") << QStringList{"a", "../b"} << "../b";
    QTest::newRow("differ only in case") << QStringList{"Tool.dll", "tool.dll"} << "tool.dll";
    QTest::newRow("slash and backslash") << QStringList{"b/c", "b\\c"} << "b\\c";
    QTest::newRow("staging file of another name")
        << QStringList{"a.dll", "a.dll.update"} << "a.dll";
}

void TestFileNames::collisions()
{
    QFETCH(QStringList, names);
    QFETCH(QString, unsafe);
    const auto found = firstUnsafeName(names);
    QCOMPARE(found ? found->name : QString(), unsafe);
    QVERIFY(!found || !found->reason.isEmpty());
}

QTEST_APPLESS_MAIN(TestFileNames)
#include "tst_filenames.moc"
