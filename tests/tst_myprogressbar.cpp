#include "widgets/myprogressbar.h"

#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

class TestMyProgressBar : public QObject
{
    Q_OBJECT

private slots:
    void geometryAndStyle();
    void signPosition_data();
    void signPosition();
    void signalOnlyOnChange();
    void outOfRangeValues_data();
    void outOfRangeValues();
};

static QLabel *signOf(MyProgressBar &indicator)
{
    return indicator.findChild<QLabel *>();
}

static QProgressBar *barOf(MyProgressBar &indicator)
{
    return indicator.findChild<QProgressBar *>();
}

void TestMyProgressBar::geometryAndStyle()
{
    QWidget parent;
    MyProgressBar indicator(&parent);
    QCOMPARE(indicator.geometry(), QRect(0, 0, 376, 12));
    QProgressBar *bar = barOf(indicator);
    QVERIFY(bar);
    QCOMPARE(bar->geometry(), QRect(2, 3, 372, 6));
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->styleSheet(),
             QString("QProgressBar{background-color: rgb(229,229,229);border-radius: 3px; "
                     "border:0px solid rgb(0,0,0);}QProgressBar::chunk:horizontal "
                     "{background-color: rgb(64,154,255);margin: 0px 0px 0px 0px;"
                     "border-radius: 3px;}"));
    // The sign is created after the bar so that it is drawn on top of it.
    QCOMPARE(indicator.children().indexOf(signOf(indicator)),
             indicator.children().indexOf(bar) + 1);
}

void TestMyProgressBar::signPosition_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("x");
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("1") << 1 << 3;
    QTest::newRow("50") << 50 << 182;
    QTest::newRow("99") << 99 << 360;
    QTest::newRow("100") << 100 << 364;
}

void TestMyProgressBar::signPosition()
{
    QFETCH(int, value);
    QFETCH(int, x);
    MyProgressBar indicator;
    indicator.setValue(value);
    QCOMPARE(signOf(indicator)->pos(), QPoint(x, 0));
    QCOMPARE(barOf(indicator)->value(), value);
}

void TestMyProgressBar::signalOnlyOnChange()
{
    MyProgressBar indicator;
    QSignalSpy spy(&indicator, &MyProgressBar::valueChanged);
    indicator.setValue(0);
    indicator.setValue(0);
    indicator.setValue(40);
    indicator.setValue(40);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toInt(), 0);
    QCOMPARE(spy.at(1).at(0).toInt(), 40);
}

void TestMyProgressBar::outOfRangeValues_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("x");
    QTest::newRow("-1") << -1 << -3;
    QTest::newRow("101") << 101 << 367;
    QTest::newRow("int minimum") << INT_MIN << INT_MIN;
    QTest::newRow("int maximum") << INT_MAX << INT_MAX;
}

void TestMyProgressBar::outOfRangeValues()
{
    QFETCH(int, value);
    QFETCH(int, x);
    MyProgressBar indicator;
    indicator.setValue(30);
    QSignalSpy spy(&indicator, &MyProgressBar::valueChanged);
    indicator.setValue(value);
    // The bar keeps its value, the sign follows the formula, and the change is still signalled.
    QCOMPARE(barOf(indicator)->value(), 30);
    QCOMPARE(signOf(indicator)->pos(), QPoint(x, 0));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), value);
}

QTEST_MAIN(TestMyProgressBar)
#include "tst_myprogressbar.moc"
