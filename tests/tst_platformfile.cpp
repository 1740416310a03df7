#include "integrity/platformfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Line breaks and an end mark, so that a replace that translated anything would show.
const QByteArray oldContent = QByteArrayLiteral("old\r\ncontent\x1a of the installed file\r\n");
const QByteArray newContent = QByteArrayLiteral("new\r\ncontent\x1a checked and staged\r\n\r");

std::string utf8(const QString &path)
{
    return path.toUtf8().toStdString();
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

} // namespace

// The POSIX side of the platform layer; the Windows side runs under Wine in tests/windows.
class TestPlatformFile : public QObject
{
    Q_OBJECT

private slots:
    void replace_data();
    void replace();
    void sameFile_data();
    void sameFile();
    void linkOnTheWay_data();
    void linkOnTheWay();
};

void TestPlatformFile::replace_data()
{
    QTest::addColumn<QString>("targetName");
    QTest::addColumn<QByteArray>("targetContent"); // null: no file there
    QTest::addColumn<bool>("targetIsFolder");
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<int>("errorCode"); // 0: the replace succeeds

    QTest::newRow("over an existing file") << "tool.dll" << oldContent << false << true << 0;
    QTest::newRow("name outside Latin-1 in a subfolder")
        << QString::fromUtf8("bin/更新-файл.dll") << oldContent << false << true << 0;
    QTest::newRow("where no target is") << "new.dll" << QByteArray() << false << true << 0;
    QTest::newRow("onto a folder fails") << "bin" << oldContent << true << true << EISDIR;
    QTest::newRow("from a missing source fails")
        << "tool.dll" << oldContent << false << false << ENOENT;
}

void TestPlatformFile::replace()
{
    QFETCH(QString, targetName);
    QFETCH(QByteArray, targetContent);
    QFETCH(bool, targetIsFolder);
    QFETCH(bool, sourceExists);
    QFETCH(int, errorCode);
    QTemporaryDir directory;
    const QString target = directory.filePath(targetName);
    const QString kept = targetIsFolder ? target + QStringLiteral("/inside.dll") : target;
    const QString source = target + QStringLiteral(".update");
    QVERIFY(targetContent.isNull() || write(kept, targetContent));
    QVERIFY(!sourceExists || write(source, newContent));

    std::string error = "untouched";
    if (errorCode != 0) {
        QVERIFY(!replaceFile(utf8(source), utf8(target), nullptr));
        QVERIFY(!replaceFile(utf8(source), utf8(target), &error));
        QCOMPARE(QString::fromStdString(error), QString::fromUtf8(std::strerror(errorCode)));
        QCOMPARE(contentOf(kept), targetContent);
        QCOMPARE(contentOf(source), sourceExists ? newContent : QByteArray());
        return;
    }
    QVERIFY(replaceFile(utf8(source), utf8(target), &error));
    QCOMPARE(error, std::string("untouched"));
    QCOMPARE(contentOf(target), newContent);
    QCOMPARE(QDir(QFileInfo(target).path()).entryList(QDir::Files),
             QStringList{QFileInfo(target).fileName()});
}

void TestPlatformFile::sameFile_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("the same name") << "Tool.dll" << true;
    QTest::newRow("a hard link") << "link.dll" << true;
    QTest::newRow("another file") << "other.dll" << false;
    QTest::newRow("a missing file") << "missing.dll" << false;
}

void TestPlatformFile::sameFile()
{
    QFETCH(QString, second);
    QFETCH(bool, same);
    QTemporaryDir directory;
    const QString first = directory.filePath(QStringLiteral("Tool.dll"));
    QVERIFY(write(first, oldContent) && write(directory.filePath("other.dll"), oldContent));
    QCOMPARE(::link(QFile::encodeName(first).constData(),
                    QFile::encodeName(directory.filePath("link.dll")).constData()),
             0);
    QCOMPARE(isSameFile(utf8(first), utf8(directory.filePath(second))), same);
}

void TestPlatformFile::linkOnTheWay_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("link");
    QTest::newRow("the first folder a link") << "plugins/x.dll"
                                             << "plugins";
    QTest::newRow("a deeper folder a link") << "real/lib/x.dll"
                                            << "real/lib";
    QTest::newRow("real folders only") << "real/x.dll" << QString();
    QTest::newRow("the link itself is not on the way") << "plugins" << QString();
}

void TestPlatformFile::linkOnTheWay()
{
    QFETCH(QString, path);
    QFETCH(QString, link);
    QTemporaryDir directory;
    QVERIFY(QDir(directory.path()).mkpath("real") && QDir(directory.path()).mkpath("elsewhere"));
    QVERIFY(QFile::link("elsewhere", directory.filePath("plugins")));
    QVERIFY(QFile::link("../elsewhere", directory.filePath("real/lib")));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(directory.path()));
    const std::optional<std::string> found = ::linkOnTheWay(utf8(path));
    QDir::setCurrent(previous);
    QCOMPARE(QString::fromStdString(found.value_or(std::string())), link);
}

QTEST_GUILESS_MAIN(TestPlatformFile)
#include "tst_platformfile.moc"
