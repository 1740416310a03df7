// The window, its progress indicator and the log line of the download list.
#include "app/update/downloadlistlog.h"
#include "app/widget.h"
#include "tests/testsupport.h"
#include "widgets/myprogressbar.h"

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

static QStringList logged;

class TestApp : public QObject
{
    Q_OBJECT
    QTemporaryDir directory; // the window reads update.xml from the working directory

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(directory.path())); }

    void indicator_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("signX");
        QTest::newRow("1") << 1 << 3;
        QTest::newRow("99") << 99 << 360;
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
        QCOMPARE(indicator.findChild<QProgressBar *>()->value(),
                 value > 100 || value < 0 ? 30 : value);
        QCOMPARE(spy.count(), value == 30 ? 0 : 1);
        QVERIFY(spy.isEmpty() || spy.at(0).at(0).toInt() == value);
    }

    void dragging_data()
    {
        // l, r, m: a press of the left, right or middle button; in capitals, its release
        QTest::addColumn<QString>("clicks");
        QTest::addColumn<bool>("moves");
        QTest::newRow("left button drags") << "l" << true;
        QTest::newRow("right button does not") << "r" << false;
        QTest::newRow("middle button does not") << "m" << false;
        QTest::newRow("a right click ends a left drag") << "lrR" << false;
        QTest::newRow("release ends the drag") << "lL" << false;
    }

    void dragging()
    {
        QFETCH(QString, clicks);
        QFETCH(bool, moves);
        Widget widget;
        widget.move(100, 100);
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

    // A stopped run says why on two lines: the caption grows to hold them, within the panel.
    // Port 1 on loopback: nothing listens there, and the reply fails once events run.
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
        QVERIFY(label->geometry().bottom() <=
                widget.findChild<QLabel *>("backgroundLabel")->geometry().bottom());
    }

    // Up to a hundred entries as the plain debug stream writes the list, then a count of the rest.
    void downloadList()
    {
        QStringList plan{"http://h/say \"hi\".txt", QString::fromUtf8("http://h/数据/钱包.dat")};
        for (int i = 0; i < 99; ++i)
            plan << QString("http://h/%1.bin").arg(i);
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

QTEST_MAIN(TestApp)
#include "tst_app.moc"
