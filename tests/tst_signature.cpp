#include "integrity/opensslhandles.h"
#include "integrity/signature.h"
#include "tests/testsupport.h"

#include <QRegularExpression>
#include <QtTest>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

// MD5 of "abc": a digest text as the manifest lists it.
const QByteArray digest = QByteArrayLiteral("900150983cd24fb0d6963f7d28e17f72");

} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void checkSignature_data();
    void checkSignature();
    void publicKeyDecrypt_data();
    void publicKeyDecrypt();

private:
    QByteArray valid;
};

void TestSignature::initTestCase()
{
    QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));
    valid = signBlock("keys/dev_private.pem", digest);
    QVERIFY(!valid.isEmpty());
}

void TestSignature::checkSignature_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("expectedDigest");
    QTest::addColumn<bool>("accepted");

    QByteArray altered = valid;
    altered[valid.size() / 2] = static_cast<char>(altered.at(valid.size() / 2) ^ 0x01);
    const QByteArray other = signBlock("keys/other_private.pem", digest);

    QTest::newRow("signature over the digest text") << valid.toBase64() << digest << true;
    QTest::newRow("line breaks and blanks inside the Base64")
        << valid.toBase64().insert(64, "\r\n").insert(20, " ").append("\n") << digest << true;
    QTest::newRow("bytes after the modulus length do not count")
        << (valid + QByteArray(40, 'Z')).toBase64() << digest << true;
    QTest::newRow("another digest") << valid.toBase64() << digest.left(31) + "0" << false;
    QTest::newRow("digest compared without case folding")
        << valid.toBase64() << digest.toUpper() << false;
    QTest::newRow("signed text with a LF more")
        << signBlock("keys/dev_private.pem", digest + "\n").toBase64() << digest << false;
    QTest::newRow("expected digest a prefix of the signed text")
        << valid.toBase64() << digest.left(31) << false;
    QTest::newRow("one altered byte") << altered.toBase64() << digest << false;
    QTest::newRow("made with another key") << other.toBase64() << digest << false;
    QTest::newRow("one byte short") << valid.left(valid.size() - 1).toBase64() << digest << false;
    QTest::newRow("empty signature") << QByteArray() << digest << false;
}

void TestSignature::checkSignature()
{
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, expectedDigest);
    QFETCH(bool, accepted);

    StandardOutputCapture capture;
    QCOMPARE(::checkSignature(QString::fromLatin1(signature), QString::fromLatin1(expectedDigest)),
             accepted);
    // The call's trace, as installations have always written it: no line end.
    QVERIFY2(QRegularExpression(QStringLiteral("^publicKey_decrypt \\S+$"))
                 .match(capture.captured())
                 .hasMatch(),
             qPrintable(capture.captured()));
}

void TestSignature::publicKeyDecrypt_data()
{
    QTest::addColumn<QByteArray>("pem");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("recovered");
    QTest::addColumn<QString>("report");

    QByteArray brokenBody = readTestData(QStringLiteral("keys/dev_public.pem"));
    brokenBody.replace(40, 8, "!!!!!!!!");
    const PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const QString quiet = QStringLiteral("^publicKey_decrypt \\S+$");
    // OpenSSL's own reason, with a real error code of this call rather than the empty code 0.
    const QString keyFailed =
        QStringLiteral("^publicKey_decrypt \\S+load public key "
                       "failed\\[error:(?!00000000)[0-9A-F]{8}:[^\\n]+\\]\\n$");

    QTest::newRow("the enclosed text, zero-terminated")
        << QByteArray(publicKeyPem) << valid.size() << digest << quiet;
    QTest::newRow("one byte short: the rest is not read")
        << QByteArray(publicKeyPem) << valid.size() - 1 << QByteArray() << quiet;
    QTest::newRow("key block with a damaged body")
        << brokenBody << valid.size() << QByteArray() << keyFailed;
    QTest::newRow("key that is not RSA")
        << publicKeyPemOf(ellipticCurve.get()) << valid.size() << QByteArray() << quiet;
}

void TestSignature::publicKeyDecrypt()
{
    QFETCH(QByteArray, pem);
    QFETCH(int, length);
    QFETCH(QByteArray, recovered);
    QFETCH(QString, report);
    // The whole valid signature stands in memory, so that a call that read past `length` would
    // find it valid and show it.
    const auto signature = std::make_unique<unsigned char[]>(valid.size());
    std::copy(valid.constBegin(), valid.constEnd(), signature.get());

    int decryptedLength = 0;
    StandardOutputCapture capture;
    const DecryptedBlock block =
        publicKey_decrypt(signature.get(), length, pem.constData(), &decryptedLength);

    QVERIFY(block);
    QCOMPARE(decryptedLength, recovered.isNull() ? -1 : recovered.size());
    const int shown = std::max(decryptedLength, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(block.get()), shown), recovered);
    QCOMPARE(block[shown], static_cast<unsigned char>(0));
    QVERIFY2(QRegularExpression(report).match(capture.captured()).hasMatch(),
             qPrintable(capture.captured()));
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
