#include "integrity/md5context.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdint>
#include <fstream>
#include <random>

namespace {

const QByteArray emptyDigest = QByteArrayLiteral("d41d8cd98f00b204e9800998ecf8427e");

// Reference digests come from Qt's MD5, so the code under test is never its own judge.
QByteArray referenceMd5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// What Windows text-mode reading delivers, judged one byte at a time with the whole file in view.
QByteArray textModeBytes(const QByteArray &raw)
{
    QByteArray delivered;
    for (int i = 0; i < raw.size(); ++i) {
        const char byte = raw.at(i);
        if (byte == '\x1a')
            break;
        if (byte == '\r' && i + 1 < raw.size() && raw.at(i + 1) == '\n')
            continue;
        delivered.append(byte);
    }
    return delivered;
}

QByteArray repeated(char byte, int count)
{
    return QByteArray(count, byte);
}

QByteArray digestOfFile(const QString &path)
{
    return QByteArray::fromStdString(md5OfFile(path.toUtf8().toStdString()));
}

QByteArray digestOfBytes(const QByteArray &bytes)
{
    Md5Context context;
    context.update(reinterpret_cast<const unsigned char *>(bytes.constData()),
                   static_cast<unsigned int>(bytes.size()));
    return QByteArray::fromStdString(context.hexDigest());
}

bool isDigestText(const QByteArray &text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-f]{32}$"));
    return form.match(QString::fromLatin1(text)).hasMatch();
}

// The standard fixes mt19937's output sequence, so these files are the same on every platform.
QByteArray generatedContent(quint32 seed, int size, int lineBreaksPerMille, bool straddleReads,
                            bool keepRandomMarks, int markAt)
{
    std::mt19937 generator(seed);
    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i) {
        const std::uint32_t draw = generator();
        const std::uint32_t roll = draw % 1000;
        char byte = static_cast<char>((draw >> 16) & 0xff);
        if (roll < static_cast<std::uint32_t>(lineBreaksPerMille) / 2)
            byte = '\r';
        else if (roll < static_cast<std::uint32_t>(lineBreaksPerMille))
            byte = '\n';
        else if (byte == '\x1a' && !keepRandomMarks)
            byte = '\x1b';
        content[i] = byte;
    }
    if (straddleReads) {
        // Alternate the cases at the read boundaries: a pair split by the boundary, a CR followed
        // by another byte, and a CR followed by a CR LF pair.
        for (int boundary = 1024, turn = 0; boundary < size; boundary += 1024, ++turn) {
            content[boundary - 1] = '\r';
            if (turn % 3 == 0)
                content[boundary] = '\n';
            else if (turn % 3 == 1)
                content[boundary] = 'x';
            else if (boundary + 1 < size) {
                content[boundary] = '\r';
                content[boundary + 1] = '\n';
            }
        }
        content[size - 1] = '\r';
    }
    if (markAt >= 0)
        content[markAt] = '\x1a';
    return content;
}

} // namespace

class TestMd5Context : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void missingOrEmptyInput_data();
    void missingOrEmptyInput();
    void failedStreamIsLeftAlone();
    void streamIsClosedAfterReading_data();
    void streamIsClosedAfterReading();

    void rfc1321Suite_data();
    void rfc1321Suite();
    void splitUpdates_data();
    void splitUpdates();
    void digestIsTakenOnACopy();
    void resetStartsOver();
    void bytesToHex_data();
    void bytesToHex();

    void textRules_data();
    void textRules();
    void generatedFiles_data();
    void generatedFiles();
    void fileNamedOutsideLatin1();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir directory;
};

QString TestMd5Context::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = directory.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        return QString();
    return path;
}

void TestMd5Context::initTestCase()
{
    QVERIFY(directory.isValid());
}

void TestMd5Context::missingOrEmptyInput_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("missing file hashes as empty input")
        << directory.filePath(QStringLiteral("no-such-file.bin"));
    QTest::newRow("file in a missing directory hashes as empty input")
        << directory.filePath(QStringLiteral("no-such-directory/file.bin"));
    QTest::newRow("directory hashes as empty input") << directory.path();
    QTest::newRow("empty file") << writeFile(QStringLiteral("empty.bin"), QByteArray());
}

void TestMd5Context::missingOrEmptyInput()
{
    QFETCH(QString, path);
    QVERIFY(!path.isEmpty());

    QCOMPARE(digestOfFile(path), emptyDigest);
}

void TestMd5Context::failedStreamIsLeftAlone()
{
    std::ifstream stream;
    QVERIFY(!openInputFile(stream, directory.filePath(QStringLiteral("absent")).toStdString()));
    const std::ios::iostate stateAfterFailedOpen = stream.rdstate();

    Md5Context context;
    context.updateFromStream(stream);

    QCOMPARE(stream.rdstate(), stateAfterFailedOpen);
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), emptyDigest);
}

void TestMd5Context::streamIsClosedAfterReading_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("short file") << QByteArrayLiteral("abc");
    QTest::newRow("file that is a whole number of reads") << repeated('z', 2048);
    QTest::newRow("file ended early by 0x1A") << QByteArray("ab\x1a" + repeated('z', 4000));
}

void TestMd5Context::streamIsClosedAfterReading()
{
    QFETCH(QByteArray, content);
    const QString path = writeFile(QStringLiteral("closed.bin"), content);
    QVERIFY(!path.isEmpty());

    std::ifstream stream;
    QVERIFY(openInputFile(stream, path.toUtf8().toStdString()));
    Md5Context context;
    context.updateFromStream(stream);

    QVERIFY(!stream.is_open());
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), referenceMd5(textModeBytes(content)));
}

void TestMd5Context::rfc1321Suite_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("digest");

    QTest::newRow("empty string") << QByteArray() << emptyDigest;
    QTest::newRow("a") << QByteArrayLiteral("a")
                       << QByteArrayLiteral("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArrayLiteral("abc")
                         << QByteArrayLiteral("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("message digest") << QByteArrayLiteral("message digest")
                                    << QByteArrayLiteral("f96b697d7cb7938d525a2f31aaf161d0");
    QTest::newRow("alphabet") << QByteArrayLiteral("abcdefghijklmnopqrstuvwxyz")
                              << QByteArrayLiteral("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("letters and digits")
        << QByteArrayLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
        << QByteArrayLiteral("d174ab98d277d9f5a5611c2c9f419d9f");
    QTest::newRow("eighty digits spanning two blocks")
        << QByteArrayLiteral("1234567890123456789012345678901234567890"
                             "1234567890123456789012345678901234567890")
        << QByteArrayLiteral("57edf4a22be3c955ac49da2e2107b67a");
}

void TestMd5Context::rfc1321Suite()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, digest);

    QCOMPARE(digestOfBytes(message), digest);

    const QString path = writeFile(QStringLiteral("rfc1321.txt"), message);
    QVERIFY(!path.isEmpty());
    QCOMPARE(digestOfFile(path), digest);
}

void TestMd5Context::splitUpdates_data()
{
    QTest::addColumn<int>("pieceSize");

    QTest::newRow("single bytes") << 1;
    QTest::newRow("pieces that never fill a block") << 3;
    QTest::newRow("one byte short of a block") << 63;
    QTest::newRow("whole blocks") << 64;
    QTest::newRow("one byte past a block") << 65;
    QTest::newRow("uneven pieces of many blocks") << 1000;
    QTest::newRow("pieces of one read") << 1024;
}

void TestMd5Context::splitUpdates()
{
    QFETCH(int, pieceSize);
    const QByteArray message = generatedContent(7, 5000, 0, false, true, -1);

    Md5Context context;
    for (int offset = 0; offset < message.size(); offset += pieceSize) {
        const int length = qMin(pieceSize, message.size() - offset);
        context.update(reinterpret_cast<const unsigned char *>(message.constData() + offset),
                       static_cast<unsigned int>(length));
    }

    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), referenceMd5(message));
}

void TestMd5Context::digestIsTakenOnACopy()
{
    Md5Context context;
    context.update(reinterpret_cast<const unsigned char *>("abc"), 3);
    const QByteArray first = QByteArray::fromStdString(context.hexDigest());
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), first);

    context.update(reinterpret_cast<const unsigned char *>("def"), 3);
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), referenceMd5("abcdef"));
}

void TestMd5Context::resetStartsOver()
{
    Md5Context context;
    context.update(reinterpret_cast<const unsigned char *>("abc"), 3);
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), referenceMd5("abc"));

    context.reset();
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), emptyDigest);
    context.update(reinterpret_cast<const unsigned char *>("a"), 1);
    QCOMPARE(QByteArray::fromStdString(context.hexDigest()), referenceMd5("a"));
}

void TestMd5Context::bytesToHex_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("no bytes give no text") << QByteArray() << QByteArray();
    QTest::newRow("high nibble first, lower case")
        << QByteArray::fromRawData("\x00\x0f\xf0\xab\x5c", 5) << QByteArrayLiteral("000ff0ab5c");
}

void TestMd5Context::bytesToHex()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);

    const std::string hex = ::bytesToHex(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                         static_cast<std::size_t>(bytes.size()));
    QCOMPARE(QByteArray::fromStdString(hex), text);
}

void TestMd5Context::textRules_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("delivered");

    const QByteArray firstRead = repeated('x', 1023);

    QTest::newRow("CR LF is hashed as LF")
        << QByteArrayLiteral("a\r\nb") << QByteArrayLiteral("a\nb");
    QTest::newRow("CR last in the file is hashed")
        << QByteArrayLiteral("ab\r") << QByteArrayLiteral("ab\r");
    QTest::newRow("CR before another byte is hashed")
        << QByteArrayLiteral("a\rb") << QByteArrayLiteral("a\rb");
    QTest::newRow("CR CR LF keeps the first CR")
        << QByteArrayLiteral("a\r\r\nb") << QByteArrayLiteral("a\r\nb");
    QTest::newRow("LF CR is not a pair")
        << QByteArrayLiteral("a\n\rb") << QByteArrayLiteral("a\n\rb");
    QTest::newRow("0x1A in the middle ends the input") << QByteArray("ab\x1a"
                                                                     "cd")
                                                       << QByteArrayLiteral("ab");
    QTest::newRow("0x1A first gives empty input") << QByteArray("\x1a"
                                                                "abc")
                                                  << QByteArray();
    QTest::newRow("CR before 0x1A is hashed")
        << QByteArray("a\r\x1a\n") << QByteArrayLiteral("a\r");
    QTest::newRow("CR LF split by the first read is one LF")
        << firstRead + "\r\ntail" << firstRead + "\ntail";
    QTest::newRow("CR ending a file of exactly one read is hashed")
        << firstRead + "\r" << firstRead + "\r";
    QTest::newRow("CR ending the first read before another byte is hashed")
        << firstRead + "\rtail" << firstRead + "\rtail";
    QTest::newRow("CR ending the first read before 0x1A is hashed")
        << firstRead + "\r\x1a" + "tail" << firstRead + "\r";
    QTest::newRow("0x1A opening the second read ends the input")
        << repeated('x', 1024) + "\x1a" + "tail" << repeated('x', 1024);
    QTest::newRow("file of exactly 1024 bytes is hashed whole")
        << repeated('q', 1024) << repeated('q', 1024);
    QTest::newRow("file of exactly 2048 bytes ending in CR LF") << repeated('q', 2046) + "\r\n"
                                                                << repeated('q', 2046) + "\n";
    QTest::newRow("CR LF split by the second read is one LF") << repeated('q', 2047) + "\r\n"
                                                              << repeated('q', 2047) + "\n";
}

void TestMd5Context::textRules()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, delivered);

    const QString path = writeFile(QStringLiteral("text-rules.bin"), raw);
    QVERIFY(!path.isEmpty());

    const QByteArray digest = digestOfFile(path);
    QVERIFY2(isDigestText(digest), digest.constData());
    QCOMPARE(digest, referenceMd5(delivered));
}

void TestMd5Context::generatedFiles_data()
{
    QTest::addColumn<QByteArray>("raw");

    QTest::newRow("sparse line breaks over ten reads")
        << generatedContent(1, 10 * 1024 + 17, 40, false, false, -1);
    QTest::newRow("dense CR and LF over many reads")
        << generatedContent(2, 64 * 1024 + 3, 300, false, false, -1);
    QTest::newRow("CR at every read boundary")
        << generatedContent(3, 32 * 1024 + 5, 20, true, false, -1);
    QTest::newRow("whole number of reads ending in CR")
        << generatedContent(4, 16 * 1024, 20, true, false, -1);
    QTest::newRow("0x1A after many reads") << generatedContent(5, 20000, 50, true, false, 15000);
    QTest::newRow("0x1A right after a CR ending a read")
        << generatedContent(6, 8192, 50, true, false, 4096);
    QTest::newRow("0x1A just after a pair split by a read")
        << generatedContent(8, 8192, 50, true, false, 1025);
    QTest::newRow("raw random bytes ended by their first 0x1A")
        << generatedContent(9, 40000, 20, false, true, -1);
    QTest::newRow("0x1A in the first read, most of the file after it")
        << generatedContent(10, 300 * 1024 + 11, 20, false, false, 300);
}

void TestMd5Context::generatedFiles()
{
    QFETCH(QByteArray, raw);
    const QByteArray delivered = textModeBytes(raw);
    QVERIFY2(delivered.size() < raw.size(), "the row must give the text rules something to do");

    const QString path = writeFile(QStringLiteral("generated.bin"), raw);
    QVERIFY(!path.isEmpty());

    QCOMPARE(digestOfFile(path), referenceMd5(delivered));
    // One read for both: the MD5 as before, the SHA-256 of every raw byte, past the 0x1A too.
    const FileDigestTexts both = md5AndSha256OfFile(path.toUtf8().toStdString());
    QCOMPARE(QByteArray::fromStdString(both.md5), referenceMd5(delivered));
    const QByteArray rawSha256 = QCryptographicHash::hash(raw, QCryptographicHash::Sha256).toHex();
    QCOMPARE(QByteArray::fromStdString(both.sha256), rawSha256);
    QCOMPARE(QByteArray::fromStdString(sha256OfFile(path.toUtf8().toStdString())), rawSha256);
}

void TestMd5Context::fileNamedOutsideLatin1()
{
    const QByteArray content = QByteArrayLiteral("first line\r\nsecond line\r\n");
    const QString unicodePath = writeFile(QString::fromUtf8(u8"更新-файл.bin"), content);
    const QString asciiPath = writeFile(QStringLiteral("ascii-name.bin"), content);
    QVERIFY(!unicodePath.isEmpty());
    QVERIFY(!asciiPath.isEmpty());

    const QByteArray digest = digestOfFile(unicodePath);
    QVERIFY(digest != emptyDigest);
    QCOMPARE(digest, digestOfFile(asciiPath));
    QCOMPARE(digest, referenceMd5("first line\nsecond line\n"));
}

QTEST_GUILESS_MAIN(TestMd5Context)
#include "tst_md5context.moc"
