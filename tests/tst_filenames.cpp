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
    QTest::newRow("subfolders, either slash") << "bin/plugins\\a.update.dll" << true;
    QTest::newRow("outside Latin-1") << QString::fromUtf8("数据/钱包.dat") << true;
    QTest::newRow("a device name's prefix") << "bin/console.dll" << true;
    QTest::newRow("a manifest in a subfolder") << "sub/update.xml" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("absolute backslash") << "\\windows\\x.dll" << false;
    QTest::newRow("drive relative") << "C:x.dll" << false;
    QTest::newRow("unc") << "\\\\server\\share\\x" << false;
    QTest::newRow("parent inside") << "a/../../x" << false;
    QTest::newRow("parent backslash") << "a\\..\\x" << false;
    QTest::newRow("dot component") << "./x" << false;
    QTest::newRow("empty component") << "a//b" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("windows trims dots") << ".../x" << false;
    QTest::newRow("windows trims blanks") << ".. /x" << false;
    QTest::newRow("control character") << QString("a\x1f"
                                                  "b")
                                       << false;
    QTest::newRow("the installation's manifest") << "Update.XML" << false;
    QTest::newRow("the lock of a running update") << "update.xml.LOCK" << false;
    // Every Windows device, in any case and with an extension, and every refused character.
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        QTest::addRow("device %s", device) << QString("bin/%1.txt").arg(device).toLower() << false;
    for (int digit = 0; digit <= 9; ++digit) {
        QTest::addRow("device COM%d", digit) << QString("com%1").arg(digit) << false;
        QTest::addRow("device LPT%d", digit) << QString("a/LPT%1.log").arg(digit) << false;
    }
    for (const char *superscript : {"¹", "²", "³"}) {
        QTest::addRow("device COM%s", superscript)
            << QString::fromUtf8("COM") + superscript << false;
        QTest::addRow("device LPT%s", superscript)
            << QString::fromUtf8("lpt") + superscript << false;
    }
    for (const char character : QByteArray("<>:\"|?*"))
        QTest::addRow("character %c", character) << QString("a%1b.dll").arg(character) << false;
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
