#include "integrity/md5context.h"
#include "integrity/sha256context.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

namespace {

// What Windows text-mode reading delivers, judged one byte at a time with the whole file in view:
// the reference the digest is held to, written apart from its 1024-byte reads.
QByteArray textModeBytes(const QByteArray &raw)
{
    QByteArray delivered;
    for (int i = 0; i < raw.size() && raw.at(i) != '\x1a'; ++i) {
        if (raw.at(i) != '\r' || i + 1 == raw.size() || raw.at(i + 1) != '\n')
            delivered.append(raw.at(i));
    }
    return delivered;
}

// Random bytes with dense CR and LF and no 0x1A; mt19937's sequence is fixed by the standard.
QByteArray noisy(int size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    QByteArray content(size, '\0');
    for (char &byte : content) {
        const std::uint32_t draw = generator();
        byte = draw % 3 == 0 ? "\r\n"[draw % 2] : static_cast<char>(draw >> 24);
        if (byte == '\x1a')
            byte = 'z';
    }
    return content;
}

// A CR ends every 1024-byte read; the next read opens with LF, another byte or CR LF in turn.
QByteArray crAtEveryReadBoundary(QByteArray content)
{
    for (int boundary = 1024, turn = 0; boundary + 1 < content.size(); boundary += 1024, ++turn) {
        content[boundary - 1] = '\r';
        content[boundary] = "\nx\r"[turn % 3];
        if (turn % 3 == 2)
            content[boundary + 1] = '\n';
    }
    return content;
}

QByteArray hex(const std::string &text)
{
    return QByteArray::fromStdString(text);
}

} // namespace

class TestMd5Context : public QObject
{
    Q_OBJECT

private slots:
    void digestsOfAFile_data();
    void digestsOfAFile();
};

void TestMd5Context::digestsOfAFile_data()
{
    QTest::addColumn<QByteArray>("raw");

    const QByteArray firstRead(1023, 'x');
    QTest::newRow("missing file hashes as empty input") << QByteArray();
    QTest::newRow("CR LF is hashed as LF") << QByteArray("a\r\nb");
    QTest::newRow("lone CR and LF CR are kept") << QByteArray("a\rb\n\rc");
    QTest::newRow("CR CR LF keeps the first CR") << QByteArray("a\r\r\nb");
    QTest::newRow("CR last in the file is kept") << QByteArray("ab\r");
    QTest::newRow("0x1A ends the input, a CR before it is kept") << QByteArray("a\r\x1a\nb\r\n");
    QTest::newRow("0x1A first gives empty input") << QByteArray("\x1a"
                                                                "abc");
    QTest::newRow("CR LF split by the first read is one LF") << firstRead + "\r\ntail";
    QTest::newRow("CR CR LF split by the first read") << firstRead + "\r\r\ntail";
    QTest::newRow("CR ending a file of exactly one read") << firstRead + "\r";
    QTest::newRow("CR ending the first read before 0x1A") << firstRead + "\r\x1a"
                                                                         "tail";
    QTest::newRow("0x1A opening the second read") << QByteArray(1024, 'x') + "\x1a"
                                                                             "tail";
    QTest::newRow("CR LF split by the second read") << QByteArray(2047, 'q') + "\r\n";
    QTest::newRow("dense line breaks over many reads") << noisy(64 * 1024 + 3, 2);
    QTest::newRow("CR at every read boundary, then 0x1A and much more")
        << crAtEveryReadBoundary(noisy(32 * 1024, 3)) + "\x1a" + noisy(100 * 1024, 4);
}

// The text-mode MD5 against Qt's MD5 of the reference's bytes, and the SHA-256 of every raw byte
// (past a 0x1A too) from the same single read and on its own.
void TestMd5Context::digestsOfAFile()
{
    QFETCH(QByteArray, raw);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("file.bin"));
    QFile file(path);
    if (!raw.isNull())
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size() && file.flush());
    const std::string utf8Path = path.toUtf8().toStdString();

    const QByteArray md5 = QCryptographicHash::hash(textModeBytes(raw), QCryptographicHash::Md5);
    const QByteArray sha256 = QCryptographicHash::hash(raw, QCryptographicHash::Sha256);
    QCOMPARE(hex(md5OfFile(utf8Path)), md5.toHex());
    const FileDigestTexts both = md5AndSha256OfFile(utf8Path);
    QCOMPARE(hex(both.md5), md5.toHex());
    QCOMPARE(hex(both.sha256), sha256.toHex());
    QCOMPARE(hex(sha256OfFile(utf8Path)), sha256.toHex());
}

QTEST_GUILESS_MAIN(TestMd5Context)
#include "tst_md5context.moc"
