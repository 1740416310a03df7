// The digest, the signature check and the platform file layer on POSIX (Windows: tests/windows).
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "integrity/signature.h"
#include "tests/testsupport.h"

#include <QtTest>

#include <cstring>

class TestIntegrity : public QObject
{
    Q_OBJECT
    QTemporaryDir directory;
    const QByteArray digest = "900150983cd24fb0d6963f7d28e17f72"; // as manifests list digests
    QByteArray valid;
    static QString text(const std::string &value) { return QString::fromStdString(value); }
    static QString link(const char *path) { return text(linkOnTheWay(path).value_or("")); }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(directory.path()));
        QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
        valid = signBlock("keys/dev_private.pem", digest);
    }

    void digests_data()
    {
        QTest::addColumn<QByteArray>("raw");
        const QByteArray read(1023, 'x'); // the digest reads 1024 bytes at a time
        QByteArray noise; // dense CR and LF over 64 reads, then the first 0x1A soon after
        QRandomGenerator random(18);
        for (int i = 0; i < 200 * 1024; ++i)
            noise += "\r\n\r\nx\x1a"[random.bounded(i < 64 * 1024 ? 5 : 6)];
        QTest::newRow("CR LF, lone CR, LF CR, CR CR LF, CR before 0x1A")
            << QByteArray("a\r\nb\rc\n\rd\r\r\ne\r\x1a\nf\r\n");
        QTest::newRow("CR CR LF across reads") << read + "\r\r\ntail";
        QTest::newRow("CR ending one full read") << read + "\r";
        QTest::newRow("CR ending a read before 0x1A") << read + "\r\x1a" + "tail";
        QTest::newRow("many reads, then 0x1A and more") << noise;
    }

    // The text-mode MD5 and the SHA-256 of every raw byte, alone and from one read.
    void digests()
    {
        QFETCH(QByteArray, raw);
        writeFile("file.bin", raw);
        const FileDigestTexts both = md5AndSha256OfFile("file.bin");
        const QString expected = textModeMd5Of(raw) + " " + sha256Of(raw);
        QCOMPARE(text(both.md5 + " " + both.sha256), expected);
        QCOMPARE(text(md5OfFile("file.bin") + " " + sha256OfFile("file.bin")), expected);
    }

    void signatures_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("accepted");
        const QByteArray base64 = valid.toBase64();
        QTest::newRow("over the digest") << base64 << digest << true;
        QTest::newRow("bytes past the modulus length do not count")
            << (valid + QByteArray(40, 'Z')).toBase64() << digest << true;
        QTest::newRow("another digest") << base64 << digest.left(31) + "0" << false;
        QTest::newRow("digest in upper case") << base64 << digest.toUpper() << false;
        QTest::newRow("digest a prefix of the signed text") << base64 << digest.left(31) << false;
        QTest::newRow("signed text with a LF more")
            << signBlock("keys/dev_private.pem", digest + "\n").toBase64() << digest << false;
        QTest::newRow("another key")
            << signBlock("keys/other_private.pem", digest).toBase64() << digest << false;
        QTest::newRow("one byte short") << valid.chopped(1).toBase64() << digest << false;
    }

    void signatures()
    {
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, expected);
        QFETCH(bool, accepted);
        StandardOutputCapture capture;
        QCOMPARE(checkSignature(signature, expected), accepted);
        // The trace installations have always written, without a line end.
        QVERIFY(capture.captured().contains(QRegularExpression("^publicKey_decrypt \\S+$")));
    }

    // The whole signature stands in memory: a call that read past the length given would open it.
    void shortSignature()
    {
        int size = 0;
        StandardOutputCapture capture;
        publicKey_decrypt(reinterpret_cast<const unsigned char *>(valid.constData()),
                          valid.size() - 1, publicKeyPem, &size);
        QCOMPARE(size, -1);
    }

    // Over a file named outside Latin-1; refused onto a folder and from a missing file with the
    // system's reason, leaving all as it was. CR LF and 0x1A would show a translation.
    void replace()
    {
        const QString wide = QString::fromUtf8("bin/更新-файл.dll");
        const QByteArray old = "old\r\n\x1a\r", staged = "new\r\n\x1a\r\r";
        for (const QString &name : QStringList{wide, "dir/in.dll", "tool.dll"})
            writeFile(name, old);
        writeFile(wide + ".update", staged);
        writeFile("dir.update", staged);
        std::string reason;
        QVERIFY(replaceFile((wide + ".update").toStdString(), wide.toStdString(), &reason));
        QVERIFY(readFile(wide) == staged && !QFile::exists(wide + ".update"));
        QVERIFY(!replaceFile("dir.update", "dir", &reason));
        QCOMPARE(text(reason), std::strerror(EISDIR));
        QVERIFY(!replaceFile("tool.dll.update", "tool.dll", &reason));
        QCOMPARE(text(reason), std::strerror(ENOENT));
        QVERIFY(readFile("dir/in.dll") + readFile("dir.update") + readFile("tool.dll") ==
                old + staged + old);
    }

    void sameFileAndLinks()
    {
        writeFile("Tool.dll", "a");
        writeFile("other.dll", "a");
        QVERIFY(QFile::link("Tool.dll", "alias.dll"));
        QVERIFY(isSameFile("Tool.dll", "alias.dll"));
        QVERIFY(!isSameFile("Tool.dll", "other.dll"));
        QVERIFY(!isSameFile("Tool.dll", "missing.dll"));
        QVERIFY(QDir().mkpath("real") && QDir().mkpath("elsewhere"));
        QVERIFY(QFile::link("elsewhere", "plugins") && QFile::link("../elsewhere", "real/lib"));
        QCOMPARE(link("plugins/x.dll"), "plugins");
        QCOMPARE(link("real/lib/x.dll"), "real/lib");
        QCOMPARE(link("real/x.dll"), "");
        QCOMPARE(link("plugins"), ""); // a link itself is replaced or removed, never followed
    }
};

QTEST_GUILESS_MAIN(TestIntegrity)
#include "tst_integrity.moc"
