#include "app/update/downloadlistlog.h"

#include <QtTest>

class TestDownloadListLog : public QObject
{
    Q_OBJECT

private slots:
    void everyLineAsTheDebugStreamWritesIt_data();
    void everyLineAsTheDebugStreamWritesIt();
    void listThatIsNoTailOfThePlan();
};

namespace {

QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    captured.append(message);
}

// The line as the plain debug stream writes it, for comparison: the whole list up to a hundred
// entries, beyond that the first hundred and one entry that counts the rest.
QString expectedLine(const QStringList &remaining)
{
    QStringList shown = remaining.mid(0, 100);
    if (remaining.size() > 100)
        shown.append(QString::fromUtf8("\u2026 and %1 more").arg(remaining.size() - 100));
    captured.clear();
    qDebug() << "downlist : " << shown;
    return captured.value(0);
}

QStringList numberedEntries(int count)
{
    QStringList entries;
    for (int i = 0; i < count; ++i)
        entries.append(QString("http://h/data/file%1.bin").arg(i, 5, 10, QChar('0')));
    return entries;
}

} // namespace

void TestDownloadListLog::everyLineAsTheDebugStreamWritesIt_data()
{
    QTest::addColumn<QStringList>("plan");
    QTest::newRow("empty plan") << QStringList();
    QTest::newRow("one") << QStringList{"http://127.0.0.1:8080/a.dll"};
    QTest::newRow("several") << QStringList{"http://h/a", "http://h/sub/b", "http://h/c d"};
    QTest::newRow("quotes and backslashes")
        << QStringList{"http://h/say \"hi\".txt", "http://h/sub\\file.dll", "http://h/tab\there"};
    QTest::newRow("outside Latin-1") << QStringList{QString::fromUtf8("http://h/数据/钱包.dat"),
                                                    QString::fromUtf8("http://h/é")};
    QTest::newRow("100 entries, every line in full") << numberedEntries(100);
    QTest::newRow("101 entries, the first line shows 100 and counts 1 more")
        << numberedEntries(101);
    QTest::newRow("2,500 entries, no line longer than 100 and the count") << numberedEntries(2500);
}

void TestDownloadListLog::everyLineAsTheDebugStreamWritesIt()
{
    QFETCH(QStringList, plan);
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    DownloadListLog log;
    log.plan(plan);
    QStringList remaining = plan;
    QStringList written;
    QStringList expected;
    for (;;) {
        captured.clear();
        log.write(remaining);
        written.append(captured.value(0));
        expected.append(expectedLine(remaining));
        if (remaining.isEmpty())
            break;
        remaining.removeFirst();
    }
    qInstallMessageHandler(previous);
    QCOMPARE(written, expected);
}

void TestDownloadListLog::listThatIsNoTailOfThePlan()
{
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    DownloadListLog log;
    log.plan({"http://h/a", "http://h/b"});
    captured.clear();
    log.write({"http://h/x"});
    const QString written = captured.value(0);
    qInstallMessageHandler(previous);
    QCOMPARE(written, QString("downlist :  (\"http://h/x\")"));
}

QTEST_APPLESS_MAIN(TestDownloadListLog)
#include "tst_downloadlistlog.moc"
