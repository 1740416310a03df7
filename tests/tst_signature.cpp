#include "integrity/opensslhandles.h"
#include "integrity/signature.h"
#include "tests/testsupport.h"

#include <QRegularExpression>
#include <QtTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>

namespace {

using Buffer = std::unique_ptr<unsigned char[]>;

// MD5 of "abc": a digest text as the manifest lists it.
const QByteArray digest = QByteArrayLiteral("900150983cd24fb0d6963f7d28e17f72");

// What the publisher does: the private-key operation with PKCS #1 v1.5 type 1 padding straight
// over the block, no DigestInfo.
QByteArray signBlock(EVP_PKEY *key, const QByteArray &block)
{
    PkeyContextPointer context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0)
        return QByteArray();
    const auto *input = reinterpret_cast<const unsigned char *>(block.constData());
    std::size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, input, block.size()) <= 0)
        return QByteArray();
    QByteArray signature(static_cast<int>(length), '\0');
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                      input, block.size()) <= 0)
        return QByteArray();
    signature.resize(static_cast<int>(length));
    return signature;
}

// A copy on the heap of exactly the given size, so that a sanitizer or valgrind catches any read
// past its end.
Buffer exactCopy(const QByteArray &bytes)
{
    Buffer copy(new unsigned char[static_cast<std::size_t>(std::max(bytes.size(), 1))]);
    std::copy(bytes.constBegin(), bytes.constEnd(), copy.get());
    return copy;
}

QByteArray withBlanksAndBreaks(const QByteArray &base64)
{
    QByteArray spread;
    for (int i = 0; i < base64.size(); ++i) {
        if (i > 0 && i % 64 == 0)
            spread.append("\r\n");
        else if (i > 0 && i % 17 == 0)
            spread.append(' ');
        spread.append(base64.at(i));
    }
    return spread + "\n";
}

} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void checkSignature_data();
    void checkSignature();

    void unreadableKeyIsReported_data();
    void unreadableKeyIsReported();
    void keyThatIsNotRsaIsRefused_data();
    void keyThatIsNotRsaIsRefused();
    void shortSignatureIsNotReadPastItsEnd_data();
    void shortSignatureIsNotReadPastItsEnd();
    void recoveredBlockIsZeroTerminated();
    void callsWriteNoLineEnd();

private:
    PkeyPointer developmentKey;
    PkeyPointer otherKey;
    QByteArray validSignature;
    int modulusLength = 0;
};

void TestSignature::initTestCase()
{
    QVERIFY2(developmentKeyProblem().isNull(), qPrintable(developmentKeyProblem()));

    developmentKey = readPrivateKeyFile(QStringLiteral("keys/dev_private.pem"));
    otherKey = readPrivateKeyFile(QStringLiteral("keys/other_private.pem"));
    QVERIFY(developmentKey);
    QVERIFY(otherKey);

    modulusLength = EVP_PKEY_get_size(developmentKey.get());
    validSignature = signBlock(developmentKey.get(), digest);
    QCOMPARE(validSignature.size(), modulusLength);
}

void TestSignature::checkSignature_data()
{
    QTest::addColumn<QByteArray>("signatureText");
    QTest::addColumn<QByteArray>("expectedDigest");
    QTest::addColumn<bool>("valid");

    const QByteArray valid = validSignature.toBase64();
    QByteArray altered = validSignature;
    altered[modulusLength / 2] = static_cast<char>(altered.at(modulusLength / 2) ^ 0x01);

    QTest::newRow("signature over the digest text is valid") << valid << digest << true;
    QTest::newRow("signature over another digest fails")
        << valid << QByteArrayLiteral("0cc175b9c0f1b6a831c399e269772661") << false;
    QTest::newRow("expected digest in upper case fails") << valid << digest.toUpper() << false;
    QTest::newRow("signature over the upper-case text fails")
        << signBlock(developmentKey.get(), digest.toUpper()).toBase64() << digest << false;
    QTest::newRow("signature over the text plus LF fails")
        << signBlock(developmentKey.get(), digest + "\n").toBase64() << digest << false;
    QTest::newRow("expected digest that is a prefix of the signed text fails")
        << valid << digest.left(31) << false;
    QTest::newRow("one altered byte fails") << altered.toBase64() << digest << false;
    QTest::newRow("signature made with the other key fails")
        << signBlock(otherKey.get(), digest).toBase64() << digest << false;
    QTest::newRow("line breaks and blanks inside the Base64 are skipped")
        << withBlanksAndBreaks(valid) << digest << true;
    QTest::newRow("bytes after the modulus length do not count")
        << (validSignature + QByteArray(40, '\x5a')).toBase64() << digest << true;
    QTest::newRow("signature one byte short fails")
        << validSignature.left(modulusLength - 1).toBase64() << digest << false;
    QTest::newRow("signature cut in half fails")
        << validSignature.left(modulusLength / 2).toBase64() << digest << false;
    QTest::newRow("value above the modulus fails")
        << QByteArray(modulusLength, '\xff').toBase64() << digest << false;
    QTest::newRow("empty signature fails") << QByteArray() << digest << false;
    QTest::newRow("text that is not Base64 fails")
        << QByteArrayLiteral("this is not a signature at all!") << digest << false;
}

void TestSignature::checkSignature()
{
    QFETCH(QByteArray, signatureText);
    QFETCH(QByteArray, expectedDigest);
    QFETCH(bool, valid);

    StandardOutputCapture capture;
    QCOMPARE(
        ::checkSignature(QString::fromLatin1(signatureText), QString::fromLatin1(expectedDigest)),
        valid);
}

void TestSignature::unreadableKeyIsReported_data()
{
    QTest::addColumn<QByteArray>("pem");

    QByteArray brokenBody = readTestData(QStringLiteral("keys/dev_public.pem"));
    brokenBody.replace(40, 8, "!!!!!!!!");

    QTest::newRow("text that is no PEM") << QByteArrayLiteral("no key here\n");
    QTest::newRow("empty text") << QByteArray();
    QTest::newRow("public key block with a damaged body") << brokenBody;
    QTest::newRow("private key block instead of a public key")
        << readTestData(QStringLiteral("keys/dev_private.pem"));
}

void TestSignature::unreadableKeyIsReported()
{
    QFETCH(QByteArray, pem);
    const Buffer signature = exactCopy(validSignature);
    int decryptedLength = 0;

    StandardOutputCapture capture;
    const Buffer decrypted(publicKey_decrypt(signature.get(), validSignature.size(),
                                             pem.constData(), &decryptedLength));

    QVERIFY(decrypted);
    QCOMPARE(decrypted[0], static_cast<unsigned char>(0));
    QCOMPARE(decryptedLength, -1);
    // The reason is OpenSSL's own text; what matters is that a real error code of this call is in
    // it, not the empty code 0.
    static const QRegularExpression report(QStringLiteral(
        "^publicKey_decrypt \\S+load public key failed\\[error:([0-9A-F]{8}):[^\\n]+\\]\\n$"));
    const QString output = capture.captured();
    const QRegularExpressionMatch match = report.match(output);
    QVERIFY2(match.hasMatch(), qPrintable(output));
    QVERIFY2(match.captured(1) != QLatin1String("00000000"), qPrintable(output));
}

void TestSignature::keyThatIsNotRsaIsRefused_data()
{
    QTest::addColumn<QByteArray>("pem");

    PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    PkeyPointer edwards(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    QTest::newRow("elliptic curve key") << publicKeyPemOf(ellipticCurve.get());
    QTest::newRow("Ed25519 key") << publicKeyPemOf(edwards.get());
}

void TestSignature::keyThatIsNotRsaIsRefused()
{
    QFETCH(QByteArray, pem);
    QVERIFY(pem.startsWith("-----BEGIN PUBLIC KEY-----\n"));
    const Buffer signature = exactCopy(validSignature);
    int decryptedLength = 0;

    StandardOutputCapture capture;
    const Buffer decrypted(publicKey_decrypt(signature.get(), validSignature.size(),
                                             pem.constData(), &decryptedLength));

    QVERIFY(decrypted);
    QCOMPARE(decrypted[0], static_cast<unsigned char>(0));
    QCOMPARE(decryptedLength, -1);
    QVERIFY2(!capture.captured().contains(QLatin1String("failed")), qPrintable(capture.captured()));
}

void TestSignature::shortSignatureIsNotReadPastItsEnd_data()
{
    QTest::addColumn<int>("length");

    QTest::newRow("no bytes") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("half the modulus") << modulusLength / 2;
    QTest::newRow("one byte short of the modulus") << modulusLength - 1;
}

void TestSignature::shortSignatureIsNotReadPastItsEnd()
{
    QFETCH(int, length);
    const Buffer signature = exactCopy(validSignature.left(length));
    int decryptedLength = 0;

    StandardOutputCapture capture;
    const Buffer decrypted(
        publicKey_decrypt(signature.get(), length, publicKeyPem, &decryptedLength));

    QCOMPARE(decryptedLength, -1);
    const unsigned char *const begin = decrypted.get();
    const unsigned char *const end = begin + modulusLength + 1;
    QVERIFY(std::all_of(begin, end, [](unsigned char byte) { return byte == 0; }));
}

void TestSignature::recoveredBlockIsZeroTerminated()
{
    const Buffer signature = exactCopy(validSignature);
    int decryptedLength = 0;

    StandardOutputCapture capture;
    const Buffer decrypted(
        publicKey_decrypt(signature.get(), validSignature.size(), publicKeyPem, &decryptedLength));

    QCOMPARE(decryptedLength, digest.size());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(decrypted.get()), decryptedLength), digest);
    QCOMPARE(decrypted[decryptedLength], static_cast<unsigned char>(0));
}

void TestSignature::callsWriteNoLineEnd()
{
    StandardOutputCapture capture;
    QVERIFY(::checkSignature(QString::fromLatin1(validSignature.toBase64()),
                             QString::fromLatin1(digest)));
    QVERIFY(!::checkSignature(QString(), QString::fromLatin1(digest)));

    static const QRegularExpression twoCalls(
        QStringLiteral("^publicKey_decrypt \\S+publicKey_decrypt \\S+$"));
    QVERIFY2(twoCalls.match(capture.captured()).hasMatch(), qPrintable(capture.captured()));
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
