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

// The line as the plain debug stream writes it, for comparison.
QString expectedLine(const QStringList &remaining)
{
    captured.clear();
    qDebug() << "downlist : " << remaining;
    return captured.value(0);
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
