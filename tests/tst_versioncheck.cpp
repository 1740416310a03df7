#include "release/version.h"

#include <QtTest>

class TestVersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
};

void TestVersionCheck::compare_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("result");

    QTest::newRow("same text") << "1.2.3"
                               << "1.2.3" << 0;
    QTest::newRow("two empty texts") << ""
                                     << "" << 0;
    QTest::newRow("third component decides") << "1.2.10"
                                             << "1.2.9" << 1;
    QTest::newRow("numbers, not text") << "1.9.0"
                                       << "1.10.0" << -1;
    QTest::newRow("first component outweighs") << "2.0.0"
                                               << "1.99.99" << 1;
    QTest::newRow("fourth component never decides") << "1.2.3"
                                                    << "1.2.3.7" << 0;
    QTest::newRow("leading zeros") << "1.05.0"
                                   << "1.5.0" << 0;
    QTest::newRow("non-numeric counts as zero") << "1.x.0"
                                                << "1.0.0" << 0;
    QTest::newRow("empty component counts as zero") << "1..1"
                                                    << "1.0.0" << 1;
    QTest::newRow("missing component counts as zero") << "2.0"
                                                      << "2.0.1" << -1;
    QTest::newRow("missing against zero") << "2.0"
                                          << "2.0.0" << 0;
    QTest::newRow("empty against a release") << ""
                                             << "1.0.0" << -1;
    QTest::newRow("beyond int counts as zero") << "1.99999999999.0"
                                               << "1.1.0" << -1;
    QTest::newRow("negative component") << "1.-1.0"
                                        << "1.0.0" << -1;
}

void TestVersionCheck::compare()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, result);
    QCOMPARE(compareVersions(a, b), result);
    QCOMPARE(compareVersions(b, a), -result);
}

QTEST_APPLESS_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
