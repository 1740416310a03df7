// The digest, the signature check and the platform file layer on POSIX (Windows: tests/windows).
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"
#include "integrity/signature.h"
#include "tests/testsupport.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
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
        QTest::addColumn<QByteArray>("raw"); // null: no file at all
        const QByteArray read(1023, 'x');    // the digest reads 1024 bytes at a time
        QByteArray noise; // dense CR and LF over 64 reads, then the first 0x1A soon after
        QRandomGenerator random(18);
        for (int i = 0; i < 200 * 1024; ++i)
            noise += "\r\n\r\nx\x1a"[random.bounded(i < 64 * 1024 ? 5 : 6)];
        QTest::newRow("missing file") << QByteArray();
        QTest::newRow("CR LF, lone CR, LF CR, CR CR LF, CR before 0x1A")
            << QByteArray("a\r\nb\rc\n\rd\r\r\ne\r\x1a\nf\r\n");
        QTest::newRow("CR LF across reads") << read + "\r\ntail";
        QTest::newRow("CR CR LF across reads") << read + "\r\r\ntail";
        QTest::newRow("CR ending one full read") << read + "\r";
        QTest::newRow("CR ending a read before 0x1A") << read + "\r\x1a" + "tail";
        QTest::newRow("0x1A opening a read") << read + "x\x1a" + "tail";
        QTest::newRow("many reads, then 0x1A and more") << noise;
    }

    // The text-mode MD5 and the SHA-256 of every raw byte, alone and from one read.
    void digests()
    {
        QFETCH(QByteArray, raw);
        QFile::remove("file.bin");
        if (!raw.isNull())
            writeFile("file.bin", raw);
        const FileDigestTexts both = md5AndSha256OfFile("file.bin");
        QCOMPARE(text(md5OfFile("file.bin")), textModeMd5Of(raw));
        QCOMPARE(text(both.md5), textModeMd5Of(raw));
        QCOMPARE(text(both.sha256), sha256Of(raw));
        QCOMPARE(text(sha256OfFile("file.bin")), sha256Of(raw));
    }

    void signatures_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("accepted");
        const QByteArray base64 = valid.toBase64();
        const auto sign = [](const char *key, const QByteArray &text) {
            return signBlock(QString("keys/%1_private.pem").arg(key), text).toBase64();
        };
        QTest::newRow("over the digest") << base64 << digest << true;
        QTest::newRow("breaks and blanks in the Base64")
            << QByteArray(base64).insert(64, "\r\n").insert(20, " ") << digest << true;
        QTest::newRow("bytes past the modulus length do not count")
            << (valid + QByteArray(40, 'Z')).toBase64() << digest << true;
        QTest::newRow("another digest") << base64 << digest.left(31) + "0" << false;
        QTest::newRow("digest in upper case") << base64 << digest.toUpper() << false;
        QTest::newRow("digest a prefix of the signed text") << base64 << digest.left(31) << false;
        QTest::newRow("signed text with a LF more")
            << sign("dev", digest + "\n") << digest << false;
        QTest::newRow("another key") << sign("other", digest) << digest << false;
        QTest::newRow("one byte short") << valid.chopped(1).toBase64() << digest << false;
        QTest::newRow("empty") << QByteArray() << digest << false;
    }

    void signatures()
    {
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, expected);
        QFETCH(bool, accepted);
        StandardOutputCapture capture;
        QCOMPARE(checkSignature(signature, expected), accepted);
        // The trace installations have always written, without a line end.
        QVERIFY(
            QRegularExpression("^publicKey_decrypt \\S+$").match(capture.captured()).hasMatch());
    }

    void refusedRecovery()
    {
        int size = 0;
        const auto *signature = reinterpret_cast<const unsigned char *>(valid.constData());
        StandardOutputCapture capture;
        // The whole signature stands in memory: a call that read past the length would open it.
        publicKey_decrypt(signature, valid.size() - 1, publicKeyPem, &size);
        QCOMPARE(size, -1);
        QByteArray broken = readTestData("keys/dev_public.pem").replace(40, 8, "!!!!!!!!");
        publicKey_decrypt(signature, valid.size(), broken.constData(), &size);
        QCOMPARE(size, -1);
        // OpenSSL's own reason, with a real error code of this call rather than the empty code 0.
        QVERIFY2(QRegularExpression("^publicKey_decrypt \\S+publicKey_decrypt \\S+load public key "
                                    "failed\\[error:(?!00000000)[0-9A-F]{8}:[^\\n]+\\]\\n$")
                     .match(capture.captured())
                     .hasMatch(),
                 qPrintable(capture.captured()));
    }

    void replace_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("staged");
        QTest::addColumn<QString>("existing"); // what is there before
        QTest::addColumn<int>("error");        // 0: the replace succeeds
        const QString wide = QString::fromUtf8("bin/更新-файл.dll");
        QTest::newRow("over a file, name outside Latin-1") << wide << true << wide << 0;
        QTest::newRow("onto a folder") << "dir" << true << "dir/inside.dll" << EISDIR;
        QTest::newRow("from a missing file") << "tool.dll" << false << "tool.dll" << ENOENT;
    }

    // Line breaks and an end mark in the content show a replace that translated anything.
    void replace()
    {
        QFETCH(QString, target);
        QFETCH(bool, staged);
        QFETCH(QString, existing);
        QFETCH(int, error);
        const QByteArray old = "old\r\n\x1a\r", staging = "new\r\n\x1a\r\r";
        writeFile(existing, old);
        if (staged)
            writeFile(target + ".update", staging);
        std::string reason = "untouched";
        QCOMPARE(replaceFile((target + ".update").toStdString(), target.toStdString(), &reason),
                 error == 0);
        QCOMPARE(text(reason), error ? QString(std::strerror(error)) : "untouched");
        QCOMPARE(readFile(error ? existing : target), error ? old : staging);
        QCOMPARE(QFile::exists(target + ".update"), error && staged);
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
