#include "app/widget.h"
#include "ui_widget.h"
#include "widgets/myprogressbar.h"

#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void windowLooksAsDesigned();
    void startsWithEmptyIndicator();
    void dragging_data();
    void dragging();
    void captionCanBeDrawn_data();
    void captionCanBeDrawn();
    void startUpRequestsServerManifest();

private:
    void write(const QString &name, const QByteArray &content);
    void press(Widget &widget, Qt::MouseButton button, QPoint pos);
    void release(Widget &widget, Qt::MouseButton button);
    void moveTo(Widget &widget, QPoint global, Qt::MouseButtons held);

    QTemporaryDir *directory = nullptr;
    QString oldDirectory;
};

void TestWidget::init()
{
    directory = new QTemporaryDir;
    oldDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(directory->path()));
}

void TestWidget::cleanup()
{
    QDir::setCurrent(oldDirectory);
    delete directory;
}

void TestWidget::write(const QString &name, const QByteArray &content)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void TestWidget::windowLooksAsDesigned()
{
    // No pictures in this directory: the window must come up all the same.
    QTest::ignoreMessage(QtDebugMsg, "update.xml not exist.");
    Widget widget;
    QCOMPARE(widget.windowTitle(), QString("CorvantileUpdate"));
    QCOMPARE(widget.size(), QSize(960, 580));
    QCOMPARE(widget.font().family(), QString::fromUtf8("微软雅黑"));
    QVERIFY(widget.autoFillBackground());
    QCOMPARE(widget.windowType(), Qt::Window);
    QVERIFY(!(widget.windowFlags() & Qt::FramelessWindowHint));

    // The run stopped at once (no update.xml): its caption has grown a line downwards.
    QCOMPARE(widget.ui->tipLabel->geometry().topLeft(), QPoint(304, 278));
    QCOMPARE(widget.ui->tipLabel->width(), 351);
    QCOMPARE(widget.ui->tipLabel->alignment(), Qt::AlignCenter);
    QCOMPARE(widget.ui->tipLabel->styleSheet(), QString("color: rgb(255, 255, 255);"));
    QCOMPARE(widget.ui->backgroundLabel->geometry(), QRect(226, 198, 511, 132));
    QCOMPARE(widget.ui->backgroundLabel->text(), QString());
    QCOMPARE(widget.ui->backgroundLabel->styleSheet(), QString("color: rgba(0, 0, 0, 40);"));
    QCOMPARE(widget.progressBar->geometry(), QRect(295, 240, 376, 12));

    // Children are drawn in list order: panel, caption, indicator from bottom to top.
    QList<QWidget *> stacking;
    for (QObject *child : widget.children()) {
        if (child->isWidgetType())
            stacking.append(static_cast<QWidget *>(child));
    }
    QCOMPARE(stacking, (QList<QWidget *>{widget.ui->backgroundLabel, widget.ui->tipLabel,
                                         widget.progressBar}));
}

void TestWidget::startsWithEmptyIndicator()
{
    QTest::ignoreMessage(QtDebugMsg, "update.xml not exist.");
    Widget widget;
    QProgressBar *bar = widget.progressBar->findChild<QProgressBar *>();
    QCOMPARE(bar->value(), 0);
    QCOMPARE(widget.progressBar->findChild<QLabel *>()->pos(), QPoint(0, 0));
}

void TestWidget::press(Widget &widget, Qt::MouseButton button, QPoint pos)
{
    QMouseEvent event(QEvent::MouseButtonPress, pos, widget.mapToGlobal(pos), button, button,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

void TestWidget::release(Widget &widget, Qt::MouseButton button)
{
    QMouseEvent event(QEvent::MouseButtonRelease, QPoint(), QPoint(), button, Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

void TestWidget::moveTo(Widget &widget, QPoint global, Qt::MouseButtons held)
{
    QMouseEvent event(QEvent::MouseMove, widget.mapFromGlobal(global), global, Qt::NoButton, held,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

void TestWidget::dragging_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<bool>("moves");
    QTest::newRow("left button drags") << "left" << true;
    QTest::newRow("right button does not") << "right" << false;
    QTest::newRow("middle button does not") << "middle" << false;
    QTest::newRow("right press and release end a left drag") << "left-right" << false;
    QTest::newRow("release ends the drag") << "left-release" << false;
}

void TestWidget::dragging()
{
    QFETCH(QString, gesture);
    QFETCH(bool, moves);
    QTest::ignoreMessage(QtDebugMsg, "update.xml not exist.");
    Widget widget;
    widget.move(100, 100);
    const QPoint start = widget.pos();
    const QPoint grip(20, 30);

    if (gesture == "right") {
        press(widget, Qt::RightButton, grip);
    } else if (gesture == "middle") {
        press(widget, Qt::MiddleButton, grip);
    } else {
        press(widget, Qt::LeftButton, grip);
        if (gesture == "left-right") {
            press(widget, Qt::RightButton, grip);
            release(widget, Qt::RightButton);
        } else if (gesture == "left-release") {
            release(widget, Qt::LeftButton);
        }
    }
    moveTo(widget, QPoint(500, 400), Qt::LeftButton);

    QCOMPARE(widget.pos(), moves ? QPoint(500, 400) - grip : start);
}

void TestWidget::captionCanBeDrawn_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("caption");
    // Port 1 on loopback: nothing listens there, and the reply fails only once events run.
    const QByteArray unreachable(
        "<u><UpdateServer>http://127.0.0.1:1</UpdateServer><Version>1.0.0</Version></u>");
    QTest::newRow("update under way")
        << unreachable << QString() << QString::fromUtf8("钱包更新中...");
    QTest::newRow("update.xml missing")
        << QByteArray() << "update.xml not exist."
        << "Update failed: update.xml is missing.\nReinstall the program.";
    QTest::newRow("update.xml malformed")
        << QByteArray("<u><UpdateServer>http://127.0.0.1:1</UpdateServer><Version>1.0.0</u>")
        << "localxml setcontent false"
        << "Update failed: update.xml is damaged.\nReinstall the program.";
    QTest::newRow("server unreachable")
        << unreachable << "get serverXml error."
        << "Update failed: cannot reach the server.\nCheck the network, then start again.";
}

// The window's texts are Chinese by design: a machine without a font that covers them shows
// boxes. Every character must be covered by the font the caption resolves to (fallbacks
// included, as drawing uses them), and every line must fit the caption's width and the panel.
void TestWidget::captionCanBeDrawn()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, line);
    QFETCH(QString, caption);
    if (!manifest.isNull())
        write("update.xml", manifest);
    if (!line.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line));
    Widget widget;
    QLabel *label = widget.ui->tipLabel;
    if (line.isEmpty())
        QCOMPARE(label->text(), caption);
    else
        QTRY_COMPARE(label->text(), caption);

    const QFontMetrics metrics(label->font());
    for (const uint character : QString(caption).remove('\n').toUcs4())
        QVERIFY2(metrics.inFontUcs4(character),
                 qPrintable(QString("U+%1 of \"%2\" is in no font that \"%3\" resolves to")
                                .arg(character, 4, 16, QChar('0'))
                                .arg(caption, QFontInfo(label->font()).family())));
    const QStringList lines = caption.split('\n');
    for (const QString &text : lines)
        QVERIFY2(metrics.horizontalAdvance(text) <= label->contentsRect().width(),
                 qPrintable(QString("\"%1\" is %2 pixels wide")
                                .arg(text)
                                .arg(metrics.horizontalAdvance(text))));
    QVERIFY(lines.size() * metrics.lineSpacing() <= label->contentsRect().height());
    // Below the panel's edge a line would be drawn over the background picture.
    QVERIFY(label->geometry().bottom() <= widget.ui->backgroundLabel->geometry().bottom());
}

void TestWidget::startUpRequestsServerManifest()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    write("update.xml", QString("<u><UpdateServer>http://127.0.0.1:%1/rel</UpdateServer>"
                                "<Version>1.0.0</Version></u>")
                            .arg(server.serverPort())
                            .toUtf8());
    Widget widget;
    QVERIFY(widget.reply);
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *socket = server.nextPendingConnection();
    QTRY_VERIFY(socket->canReadLine());
    QCOMPARE(socket->readLine(), QByteArray("GET /rel/update.xml HTTP/1.1\r\n"));
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
