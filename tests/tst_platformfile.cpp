#include "integrity/md5context.h"
#include "integrity/platformfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

// Line breaks and an end mark, so that a replace or a read that translated anything would show.
const QByteArray oldContent = QByteArrayLiteral("old\r\ncontent\x1a of the installed file\r\n");
const QByteArray newContent = QByteArrayLiteral("new\r\ncontent\x1a checked and staged\r\n\r");

std::string utf8(const QString &path)
{
    return path.toUtf8().toStdString();
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

// The POSIX side of the platform layer: replaceFile() is rename(), openInputFile() takes the name
// as UTF-8 bytes. The Windows side runs under Wine in tests/windows.
class TestPlatformFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replaceOntoDirectoryFails();
    void replaceFromMissingSourceFails();
    void replaceFailureNeedsNoErrorText();
    void replaceOverExistingFile_data();
    void replaceOverExistingFile();
    void replaceWithoutTarget();

    void openMissingFileFails();
    void openByNameOutsideLatin1();
    void sameFile_data();
    void sameFile();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    std::unique_ptr<QTemporaryDir> directory;
};

void TestPlatformFile::init()
{
    directory = std::make_unique<QTemporaryDir>();
    QVERIFY(directory->isValid());
}

void TestPlatformFile::cleanup()
{
    directory.reset();
}

QString TestPlatformFile::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = directory->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return path;
}

void TestPlatformFile::replaceOntoDirectoryFails()
{
    const QString target = directory->filePath(QStringLiteral("bin"));
    QVERIFY(QDir(directory->path()).mkdir(QStringLiteral("bin")));
    QVERIFY(!writeFile(QStringLiteral("bin/tool.dll"), oldContent).isEmpty());
    const QString source = writeFile(QStringLiteral("bin.update"), newContent);
    QVERIFY(!source.isEmpty());

    std::string error;
    QVERIFY(!replaceFile(utf8(source), utf8(target), &error));

    QCOMPARE(QString::fromStdString(error), QString::fromUtf8(std::strerror(EISDIR)));
    QVERIFY(QFileInfo(target).isDir());
    QCOMPARE(contentOf(directory->filePath(QStringLiteral("bin/tool.dll"))), oldContent);
    QCOMPARE(contentOf(source), newContent);
}

void TestPlatformFile::replaceFromMissingSourceFails()
{
    const QString target = writeFile(QStringLiteral("tool.dll"), oldContent);
    QVERIFY(!target.isEmpty());
    const QString source = directory->filePath(QStringLiteral("tool.dll.update"));

    std::string error;
    QVERIFY(!replaceFile(utf8(source), utf8(target), &error));

    QCOMPARE(QString::fromStdString(error), QString::fromUtf8(std::strerror(ENOENT)));
    QCOMPARE(contentOf(target), oldContent);
    QVERIFY(!QFileInfo::exists(source));
}

void TestPlatformFile::replaceFailureNeedsNoErrorText()
{
    const QString target = writeFile(QStringLiteral("tool.dll"), oldContent);
    QVERIFY(!target.isEmpty());

    QVERIFY(
        !replaceFile(utf8(directory->filePath(QStringLiteral("absent"))), utf8(target), nullptr));
    QCOMPARE(contentOf(target), oldContent);
}

void TestPlatformFile::replaceOverExistingFile_data()
{
    QTest::addColumn<QString>("targetName");

    QTest::newRow("ASCII name") << QStringLiteral("tool.dll");
    QTest::newRow("name outside Latin-1") << QString::fromUtf8("更新-файл.dll");
    QTest::newRow("in a subfolder") << QStringLiteral("bin/plugins/tool.dll");
}

void TestPlatformFile::replaceOverExistingFile()
{
    QFETCH(QString, targetName);
    QVERIFY(QDir(directory->path()).mkpath(QFileInfo(targetName).path()));
    const QString target = writeFile(targetName, oldContent);
    const QString source = writeFile(targetName + QStringLiteral(".update"), newContent);
    QVERIFY(!target.isEmpty());
    QVERIFY(!source.isEmpty());

    std::string error = "untouched";
    QVERIFY(replaceFile(utf8(source), utf8(target), &error));

    QCOMPARE(contentOf(target), newContent);
    QVERIFY(!QFileInfo::exists(source));
    QCOMPARE(QString::fromStdString(error), QStringLiteral("untouched"));
    const QStringList left = QDir(QFileInfo(target).path()).entryList(QDir::Files);
    QCOMPARE(left, QStringList{QFileInfo(target).fileName()});
}

void TestPlatformFile::replaceWithoutTarget()
{
    const QString source = writeFile(QStringLiteral("new.dll.update"), newContent);
    QVERIFY(!source.isEmpty());
    const QString target = directory->filePath(QStringLiteral("new.dll"));

    QVERIFY(replaceFile(utf8(source), utf8(target), nullptr));

    QCOMPARE(contentOf(target), newContent);
    QVERIFY(!QFileInfo::exists(source));
}

void TestPlatformFile::openMissingFileFails()
{
    std::ifstream stream;
    QVERIFY(!openInputFile(stream, utf8(directory->filePath(QStringLiteral("absent")))));
    // Md5Context::updateFromStream() recognises a failed open by this bit.
    QVERIFY(stream.fail());
}

void TestPlatformFile::openByNameOutsideLatin1()
{
    const QString path = writeFile(QString::fromUtf8("更新-файл.bin"), newContent);
    QVERIFY(!path.isEmpty());

    std::ifstream stream;
    QVERIFY(openInputFile(stream, utf8(path)));
    const std::string read{std::istreambuf_iterator<char>(stream),
                           std::istreambuf_iterator<char>()};
    QCOMPARE(QByteArray::fromStdString(read), newContent);

    // The same name through the digest: the text-mode rules leave "new" and its line break.
    const QByteArray delivered = QByteArrayLiteral("new\ncontent");
    QCOMPARE(QByteArray::fromStdString(md5OfFile(utf8(path))),
             QCryptographicHash::hash(delivered, QCryptographicHash::Md5).toHex());
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
    const QString first = writeFile(QStringLiteral("Tool.dll"), oldContent);
    QVERIFY(!writeFile(QStringLiteral("other.dll"), oldContent).isEmpty());
    QCOMPARE(::link(QFile::encodeName(first).constData(),
                    QFile::encodeName(directory->filePath("link.dll")).constData()),
             0);
    QCOMPARE(isSameFile(utf8(first), utf8(directory->filePath(second))), same);
}

QTEST_GUILESS_MAIN(TestPlatformFile)
#include "tst_platformfile.moc"
