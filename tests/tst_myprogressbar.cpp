#include "widgets/myprogressbar.h"

#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

class TestMyProgressBar : public QObject
{
    Q_OBJECT

private slots:
    void setValue_data();
    void setValue();
};

void TestMyProgressBar::setValue_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("signX");
    QTest::addColumn<int>("barValue");
    QTest::addColumn<int>("signalled");

    QTest::newRow("0") << 0 << 0 << 0 << 1;
    QTest::newRow("1") << 1 << 3 << 1 << 1;
    QTest::newRow("99") << 99 << 360 << 99 << 1;
    QTest::newRow("100, the sign at the bar's end") << 100 << 364 << 100 << 1;
    QTest::newRow("the value it has: no signal") << 30 << 109 << 30 << 0;
    QTest::newRow("-1: the bar keeps its value") << -1 << -3 << 30 << 1;
    QTest::newRow("int maximum does not overflow") << INT_MAX << INT_MAX << 30 << 1;
}

void TestMyProgressBar::setValue()
{
    QFETCH(int, value);
    QFETCH(int, signX);
    QFETCH(int, barValue);
    QFETCH(int, signalled);
    MyProgressBar indicator;
    indicator.setValue(30);
    QSignalSpy spy(&indicator, &MyProgressBar::valueChanged);

    indicator.setValue(value);

    QCOMPARE(indicator.findChild<QLabel *>()->pos(), QPoint(signX, 0));
    QCOMPARE(indicator.findChild<QProgressBar *>()->value(), barValue);
    QCOMPARE(spy.count(), signalled);
    QVERIFY(spy.isEmpty() || spy.at(0).at(0).toInt() == value);
}

QTEST_MAIN(TestMyProgressBar)
#include "tst_myprogressbar.moc"
