#include "app/update/downloadlistlog.h"

#include <QtTest>

namespace {

QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    captured.append(message);
}

// The list as it shrinks while the downloads finish one by one.
QList<QStringList> tails(const QStringList &plan)
{
    QList<QStringList> lists;
    for (int i = 0; i <= plan.size(); ++i)
        lists.append(plan.mid(i));
    return lists;
}

QStringList numbered(int count)
{
    QStringList entries;
    for (int i = 0; i < count; ++i)
        entries.append(QString("http://h/data/file%1.bin").arg(i));
    return entries;
}

} // namespace

class TestDownloadListLog : public QObject
{
    Q_OBJECT

private slots:
    void linesAsTheDebugStreamWritesThem_data();
    void linesAsTheDebugStreamWritesThem();
};

void TestDownloadListLog::linesAsTheDebugStreamWritesThem_data()
{
    QTest::addColumn<QStringList>("plan");
    QTest::addColumn<QList<QStringList>>("lists");
    const QStringList quoted{"http://h/say \"hi\".txt", "http://h/sub\\file.dll",
                             QString::fromUtf8("http://h/数据/钱包.dat")};
    QTest::newRow("quotes, backslashes, outside Latin-1") << quoted << tails(quoted);
    QTest::newRow("101 entries: 100 shown and a count") << numbered(101) << tails(numbered(101));
    QTest::newRow("a list that is no tail of the plan")
        << quoted << QList<QStringList>{{"http://h/x"}, {}};
}

// Each line against what the plain debug stream writes for the same list: up to a hundred entries
// in full, beyond that the first hundred and one entry that counts the rest.
void TestDownloadListLog::linesAsTheDebugStreamWritesThem()
{
    QFETCH(QStringList, plan);
    QFETCH(QList<QStringList>, lists);
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    DownloadListLog log;
    log.plan(plan);
    QStringList written;
    QStringList expected;
    for (const QStringList &remaining : lists) {
        captured.clear();
        log.write(remaining);
        written.append(captured.value(0));
        QStringList shown = remaining.mid(0, 100);
        if (remaining.size() > 100)
            shown.append(QString::fromUtf8("\u2026 and %1 more").arg(remaining.size() - 100));
        captured.clear();
        qDebug() << "downlist : " << shown;
        expected.append(captured.value(0));
    }
    qInstallMessageHandler(previous);
    QCOMPARE(written, expected);
}

QTEST_APPLESS_MAIN(TestDownloadListLog)
#include "tst_downloadlistlog.moc"
