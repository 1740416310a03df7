#include "app/widget.h"
#include "ui_widget.h"

#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QtTest>

struct Click
{
    QEvent::Type type;
    Qt::MouseButton button;
};
using Clicks = QVector<Click>;
Q_DECLARE_METATYPE(Clicks)

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void dragging_data();
    void dragging();
    void captionCanBeDrawn_data();
    void captionCanBeDrawn();

private:
    QTemporaryDir directory;
};

// The window reads update.xml from the working directory: a fresh one of the test's own.
void TestWidget::initTestCase()
{
    QVERIFY(QDir::setCurrent(directory.path()));
}

void TestWidget::cleanup()
{
    QFile::remove(QStringLiteral("update.xml"));
}

void TestWidget::dragging_data()
{
    QTest::addColumn<Clicks>("clicks");
    QTest::addColumn<bool>("moves");
    const auto press = QEvent::MouseButtonPress;
    const auto release = QEvent::MouseButtonRelease;
    QTest::newRow("left button drags") << Clicks{{press, Qt::LeftButton}} << true;
    QTest::newRow("right button does not") << Clicks{{press, Qt::RightButton}} << false;
    QTest::newRow("middle button does not") << Clicks{{press, Qt::MiddleButton}} << false;
    QTest::newRow("a right click ends a left drag")
        << Clicks{{press, Qt::LeftButton}, {press, Qt::RightButton}, {release, Qt::RightButton}}
        << false;
    QTest::newRow("release ends the drag")
        << Clicks{{press, Qt::LeftButton}, {release, Qt::LeftButton}} << false;
}

void TestWidget::dragging()
{
    QFETCH(Clicks, clicks);
    QFETCH(bool, moves);
    QTest::ignoreMessage(QtDebugMsg, "update.xml not exist.");
    Widget widget;
    widget.move(100, 100);
    const QPoint start = widget.pos();
    const QPoint grip(20, 30);
    for (const Click &click : clicks) {
        const Qt::MouseButtons held =
            click.type == QEvent::MouseButtonPress ? click.button : Qt::NoButton;
        QMouseEvent event(click.type, grip, widget.mapToGlobal(grip), click.button, held,
                          Qt::NoModifier);
        QApplication::sendEvent(&widget, &event);
    }
    const QPoint target(500, 400);
    QMouseEvent move(QEvent::MouseMove, widget.mapFromGlobal(target), target, Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &move);

    QCOMPARE(widget.pos(), moves ? target - grip : start);
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
// included, as drawing uses them), and every line must fit the caption and the panel.
void TestWidget::captionCanBeDrawn()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, line);
    QFETCH(QString, caption);
    QFile file(QStringLiteral("update.xml"));
    QVERIFY(manifest.isNull() || (file.open(QIODevice::WriteOnly) && file.write(manifest) > 0));
    file.close();
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
        QVERIFY2(metrics.inFontUcs4(character), qPrintable(QFontInfo(label->font()).family()));
    const QStringList lines = caption.split('\n');
    for (const QString &text : lines)
        QVERIFY2(metrics.horizontalAdvance(text) <= label->contentsRect().width(),
                 qPrintable(text));
    QVERIFY(lines.size() * metrics.lineSpacing() <= label->contentsRect().height());
    // Below the panel's edge a line would be drawn over the background picture.
    QVERIFY(label->geometry().bottom() <= widget.ui->backgroundLabel->geometry().bottom());
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
