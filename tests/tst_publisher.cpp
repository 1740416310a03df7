// The publisher's tool, run in-process: its argument handling, every refusal of `make`, the
// manifest it writes, and what `verify` finds in a published folder.
#include "manifest.h"
#include "opensslhandles.h"
#include "publisher.h"
#include "releasedigests.h"
#include "releasesigner.h"
#include "signature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <iostream>
#include <sstream>

namespace {

const QString server = QStringLiteral("http://127.0.0.1:8080/corvantile");

struct Outcome
{
    int status = -1;
    QString out;
    QString err;
};

Outcome publish(const QStringList &arguments, PublisherProgress progress = PublisherProgress::Quiet)
{
    Outcome outcome;
    QTextStream out(&outcome.out);
    QTextStream err(&outcome.err);
    outcome.status = runPublisher(arguments, out, err, progress);
    out.flush();
    err.flush();
    return outcome;
}

QString testData(const QString &relative)
{
    return QStringLiteral(CORVANTILE_TEST_DATA_DIR "/") + relative;
}

QString privateKey()
{
    return testData("keys/dev_private.pem");
}

QString publicKey()
{
    return testData("keys/dev_public.pem");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QStringList makeArguments(const QString &release, const QString &version = "1.0.0")
{
    return {"make",      "--release", release, "--server",  server,
            "--version", version,     "--key", privateKey()};
}

// A release with the kinds of content installations must get right: a binary, CR LF text, a
// byte 0x1A, a name outside Latin-1. The 0x1A is the last byte, so that the digest covers the
// whole file and the tool has nothing to warn of (see warnsOfBytesAfterTheEndOfFileMark).
void fillRelease(const QString &dir)
{
    writeFile(dir + "/tool.exe", QByteArray("MZ\x90\x00\x03\x00\r\x00", 8));
    writeFile(dir + "/text/readme.txt", "line one\r\nline two\r\n");
    writeFile(dir + "/data/eof.bin", "before\x1a");
    writeFile(dir + QString::fromUtf8("/数据/钱包.dat"), "wallet");
}

struct Manifest
{
    QString server;
    QString version;
    FileTable files;
    TextMap digests;
    TextMap signatures;
    QStringList namesInOrder;
};

Manifest readManifestAt(const QString &path)
{
    Manifest manifest;
    QDomDocument document;
    if (!document.setContent(readFile(path)))
        return manifest;
    manifest.server = elementText(document, "UpdateServer");
    manifest.version = elementText(document, "Version");
    manifest.files = readFileTable(document, &manifest.digests, &manifest.signatures);
    const QDomNodeList names = document.elementsByTagName("Name");
    for (int i = 0; i < names.size(); ++i)
        manifest.namesInOrder.append(names.at(i).toElement().text());
    return manifest;
}

QByteArray pemOfPrivateKey(EVP_PKEY *key, const EVP_CIPHER *cipher = nullptr,
                           const char *passphrase = nullptr)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio || !key ||
        PEM_write_bio_PrivateKey(
            bio.get(), key, cipher, reinterpret_cast<const unsigned char *>(passphrase),
            passphrase ? static_cast<int>(strlen(passphrase)) : 0, nullptr, nullptr) != 1)
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<int>(size));
}

QByteArray pemOfPublicKey(EVP_PKEY *key)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio || !key || PEM_write_bio_PUBKEY(bio.get(), key) != 1)
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<int>(size));
}

PkeyPointer developmentKey()
{
    const QByteArray pem = readFile(privateKey());
    BioPointer bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    return PkeyPointer(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// Routes std::cout into a string for the lifetime of the object.
class StandardOutputCapture
{
public:
    StandardOutputCapture() : previous(std::cout.rdbuf(text.rdbuf())) {}
    ~StandardOutputCapture() { std::cout.rdbuf(previous); }
    StandardOutputCapture(const StandardOutputCapture &) = delete;
    StandardOutputCapture &operator=(const StandardOutputCapture &) = delete;

    QString captured() const { return QString::fromStdString(text.str()); }

private:
    std::ostringstream text;
    std::streambuf *previous;
};

QString lineFor(const QString &output, const QString &name)
{
    for (const QString &line : output.split('\n')) {
        if (line.endsWith("\"" + name + "\"") || line.contains("\"" + name + "\" ("))
            return line;
    }
    return QString();
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void usageErrors_data();
    void usageErrors();
    void helpIsShown_data();
    void helpIsShown();

    void refusesVersion_data();
    void refusesVersion();
    void refusesServer_data();
    void refusesServer();
    void refusesUnsafeName_data();
    void refusesUnsafeName();
    void acceptsNamesNearTheRules_data();
    void acceptsNamesNearTheRules();
    void refusesNamesThatDifferOnlyInCase();
    void refusesSymbolicLink_data();
    void refusesSymbolicLink();
    void refusesKey_data();
    void refusesKey();
    void refusesMissingReleaseOrPrevious_data();
    void refusesMissingReleaseOrPrevious();
    void refusesFileItCannotReadWhole_data();
    void refusesFileItCannotReadWhole();

    void manifestLayout();
    void digestsAreTextModeAndSignaturesOpenWithThePublicKey();
    void outputIsDeterministic();
    void leavesOutManifestStagingFilesAndOutput();
    void linkToFileInsideIsPublished();
    void previousKeepsVersionsOfUnchangedFiles();
    void progressOnlyWhenAsked();
    void warnsOfBytesAfterTheEndOfFileMark_data();
    void warnsOfBytesAfterTheEndOfFileMark();

    void verifyPassesCleanRelease();
    void verifyFinds_data();
    void verifyFinds();
    void verifyFlagsUnsafeManifestNames_data();
    void verifyFlagsUnsafeManifestNames();
    void verifyReportsUnlistedFiles();
    void verifyFlagsManifestHeader_data();
    void verifyFlagsManifestHeader();
    void verifyRefuses_data();
    void verifyRefuses();
};

void TestPublisher::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QStringList verifyBase{"verify", "--release", "r", "--key", "k"};
    QTest::newRow("no command") << QStringList() << "corvantile-publish: no command given";
    QTest::newRow("unknown command")
        << QStringList{"publish"} << "corvantile-publish: unknown command \"publish\"";
    QTest::newRow("unknown option") << (verifyBase + QStringList{"--force"})
                                    << "corvantile-publish verify: unknown option --force";
    QTest::newRow("option of the other command")
        << (verifyBase + QStringList{"--version", "1.0.0"})
        << "corvantile-publish verify: unknown option --version";
    QTest::newRow("value missing at the end")
        << QStringList{"verify", "--key", "k", "--release"}
        << "corvantile-publish verify: --release needs a value";
    QTest::newRow("value missing before the next option")
        << QStringList{"verify", "--release", "--key", "k"}
        << "corvantile-publish verify: --release needs a value";
    QTest::newRow("empty value") << QStringList{"verify", "--release=", "--key", "k"}
                                 << "corvantile-publish verify: --release needs a value, not "
                                    "empty text";
    QTest::newRow("option twice") << (verifyBase + QStringList{"--key", "k2"})
                                  << "corvantile-publish verify: --key is given twice";
    QTest::newRow("stray argument") << (verifyBase + QStringList{"extra"})
                                    << "corvantile-publish verify: unexpected argument \"extra\"";
    QTest::newRow("verify without key")
        << QStringList{"verify", "--release", "r"} << "corvantile-publish verify: missing --key";
    QTest::newRow("make without version")
        << QStringList{"make", "--release", "r", "--server", server, "--key", "k"}
        << "corvantile-publish make: missing --version";
    QTest::newRow("make without anything")
        << QStringList{"make"} << "corvantile-publish make: missing --release";
}

void TestPublisher::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherUsageError));
    const QStringList lines = outcome.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), message);
    QVERIFY2(lines.at(1).startsWith("Try \"corvantile-publish") &&
                 lines.at(1).endsWith(" --help\"."),
             qPrintable(lines.at(1)));
    QVERIFY(outcome.out.isEmpty());
}

void TestPublisher::helpIsShown_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage");

    QTest::newRow("top level") << QStringList{"--help"} << "Usage: corvantile-publish COMMAND";
    QTest::newRow("make") << QStringList{"make", "--help"} << "Usage: corvantile-publish make ";
    QTest::newRow("verify, short")
        << QStringList{"verify", "-h"} << "Usage: corvantile-publish verify ";
    QTest::newRow("help wins over other options")
        << QStringList{"make", "--release", "r", "--bogus", "--help"}
        << "Usage: corvantile-publish make ";
}

void TestPublisher::helpIsShown()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherSuccess));
    QVERIFY2(outcome.out.startsWith(usage), qPrintable(outcome.out));
    QVERIFY(outcome.err.isEmpty());
}

void TestPublisher::refusesVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("previousVersion");
    QTest::addColumn<QString>("reason");

    QTest::newRow("two components")
        << "1.2" << QString() << "--version 1.2: it has fewer than three numeric components";
    QTest::newRow("one component")
        << "7" << QString() << "--version 7: it has fewer than three numeric components";
    QTest::newRow("letter") << "1.2.x" << QString()
                            << "--version 1.2.x: its component \"x\" is not a decimal number";
    QTest::newRow("empty component")
        << "1..2" << QString() << "--version 1..2: its component \"\" is not a decimal number";
    QTest::newRow("suffix") << "1.2.3-beta" << QString()
                            << "--version 1.2.3-beta: its component \"3-beta\" is not a decimal "
                               "number";
    QTest::newRow("beyond the integer range")
        << "1.2.99999999999" << QString()
        << "--version 1.2.99999999999: its component \"99999999999\" is not a decimal number";
    QTest::newRow("same as the previous") << "1.2.3"
                                          << "1.2.3"
                                          << "--version 1.2.3: it is not newer than \"1.2.3\"";
    QTest::newRow("older than the previous") << "1.2.9"
                                             << "1.10.0"
                                             << "--version 1.2.9: it is not newer than "
                                                "\"1.10.0\"";
    QTest::newRow("newer only in a fourth component")
        << "1.2.3.1"
        << "1.2.3"
        << "--version 1.2.3.1: it is not newer than \"1.2.3\"";
}

void TestPublisher::refusesVersion()
{
    QFETCH(QString, version);
    QFETCH(QString, previousVersion);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QStringList arguments = makeArguments(release, version);
    if (!previousVersion.isNull()) {
        writeFile(root.filePath("old.xml"),
                  "<Update><Version>" + previousVersion.toUtf8() + "</Version><Files/></Update>");
        arguments << "--previous" << root.filePath("old.xml");
    }

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(outcome.err.startsWith("corvantile-publish: " + reason), qPrintable(outcome.err));
    if (!previousVersion.isNull())
        QVERIFY2(outcome.err.contains(root.filePath("old.xml")), qPrintable(outcome.err));
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesServer_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no scheme") << "127.0.0.1/app"
                               << "it is not an absolute http:// or https:// address";
    QTest::newRow("ftp") << "ftp://127.0.0.1/app"
                         << "it is not an absolute http:// or https:// address";
    QTest::newRow("no host") << "http:///app"
                             << "it is not an absolute http:// or https:// address";
    QTest::newRow("trailing slash") << "http://127.0.0.1/app/"
                                    << "it ends in \"/\"; installations append \"/update.xml\" "
                                       "themselves";
    QTest::newRow("query") << "http://127.0.0.1/app?channel=beta"
                           << "installations append \"/update.xml\" to it, which a query or "
                              "fragment would swallow";
}

void TestPublisher::refusesServer()
{
    QFETCH(QString, url);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QStringList arguments = makeArguments(release);
    arguments[arguments.indexOf("--server") + 1] = url;

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherRefused));
    QCOMPARE(outcome.err, "corvantile-publish: --server " + url + ": " + reason + "\n");
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesUnsafeName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    QTest::newRow("backslash") << "bin\\tool.dll"
                               << "it contains a backslash, which the updater reads as a folder "
                                  "separator";
    const QString forbidden = "which Windows does not allow in file names";
    QTest::newRow("less than") << "a<b.txt"
                               << "it contains the character '<', " + forbidden;
    QTest::newRow("greater than") << "a>b.txt"
                                  << "it contains the character '>', " + forbidden;
    QTest::newRow("colon") << "a.dll:stream"
                           << "it contains the character ':', " + forbidden;
    QTest::newRow("double quote") << "say\"hi\".txt"
                                  << "it contains the character '\"', " + forbidden;
    QTest::newRow("pipe") << "a|b.txt"
                          << "it contains the character '|', " + forbidden;
    QTest::newRow("question mark") << "what?.txt"
                                   << "it contains the character '?', " + forbidden;
    QTest::newRow("asterisk") << "sub/a*.txt"
                              << "it contains the character '*', " + forbidden;
    QTest::newRow("control character")
        << QString("tab\there.txt") << "it contains the control character U+0009, " + forbidden;
    QTest::newRow("line feed") << QString("two\nlines.txt")
                               << "it contains the control character U+000A, " + forbidden;
    QTest::newRow("device name") << "CON"
                                 << "its component \"CON\" is a Windows device name";
    QTest::newRow("device name, lower case, extension")
        << "con.txt"
        << "its component \"con.txt\" is a Windows device name";
    QTest::newRow("device name as a folder") << "sub/NUL/x.dat"
                                             << "its component \"NUL\" is a Windows device name";
    QTest::newRow("serial port") << "COM1.log"
                                 << "its component \"COM1.log\" is a Windows device "
                                    "name";
    QTest::newRow("printer port") << "bin/LPT9"
                                  << "its component \"LPT9\" is a Windows device "
                                     "name";
    QTest::newRow("auxiliary, blank before extension")
        << "AUX .txt"
        << "its component \"AUX .txt\" is a Windows device name";
    QTest::newRow("trailing dot") << "readme."
                                  << "its component \"readme.\" ends in a dot, which "
                                     "Windows drops";
    QTest::newRow("folder with trailing dot")
        << "bin./a.dll"
        << "its component \"bin.\" ends in a dot, which Windows drops";
    QTest::newRow("trailing blank") << "sub/notes.txt "
                                    << "its component \"notes.txt \" ends in a blank, which "
                                       "Windows drops";
    QTest::newRow("hash") << "issue#7.txt"
                          << "it contains '#', which would end the download address (a URL "
                             "fragment)";
    QTest::newRow("percent escape")
        << "a%41.txt"
        << "\"%41\" in it would be read as a percent escape in the download address";
    // The updater's own rules, which the tool applies as they stand.
    QTest::newRow("drive-relative") << "C:tool.dll"
                                    << "it names a drive";
    QTest::newRow("the installation's manifest in another case")
        << "Update.XML"
        << "it is the installation's own manifest";
}

void TestPublisher::refusesUnsafeName()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    writeFile(release + "/" + name, "content");

    const Outcome outcome = publish(makeArguments(release));

    QCOMPARE(outcome.status, int(PublisherRefused));
    QCOMPARE(outcome.err, "corvantile-publish: " + release + "/" + name + ": " + reason + "\n");
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::acceptsNamesNearTheRules_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("device name inside a longer name") << "CONSOLE.txt";
    QTest::newRow("two-digit port number") << "COM10";
    QTest::newRow("percent without an escape") << "100%.txt";
    QTest::newRow("percent before non-hex") << "%zz.txt";
    QTest::newRow("blank inside") << "read me.txt";
    QTest::newRow("update.xml below the top") << "docs/update.xml";
    QTest::newRow(".update inside the name") << "bin/a.update.dll";
    QTest::newRow("dots inside") << "a..b.c";
    QTest::newRow("outside the BMP") << QString::fromUtf8("emoji/\xF0\x9F\x98\x80.txt");
}

void TestPublisher::acceptsNamesNearTheRules()
{
    QFETCH(QString, name);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    writeFile(release + "/" + name, "content");

    const Outcome outcome = publish(makeArguments(release));

    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
    const Manifest manifest = readManifestAt(release + "/update.xml");
    QCOMPARE(manifest.files.keys(), QStringList{name});
    QCOMPARE(manifest.digests.value(name), md5Of("content"));
}

void TestPublisher::refusesNamesThatDifferOnlyInCase()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    writeFile(release + "/bin/Tool.dll", "one");
    writeFile(release + "/bin/tool.dll", "two");

    const Outcome outcome = publish(makeArguments(release));

    QCOMPARE(outcome.status, int(PublisherRefused));
    QCOMPARE(outcome.err, "corvantile-publish: " + release +
                              "/bin/tool.dll: it differs from \"bin/Tool.dll\" only in case, and "
                              "Windows does not tell the two apart\n");
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesSymbolicLink_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");

    // Targets are relative to the link, which stands at the top of the release; "ROOT" is the
    // temporary folder that holds the release.
    QTest::newRow("file outside, relative")
        << "../outside.txt"
        << "it is a symbolic link to ROOT/outside.txt, outside the release "
           "folder";
    QTest::newRow("file outside, absolute")
        << "ROOT/outside.txt"
        << "it is a symbolic link to ROOT/outside.txt, outside the release "
           "folder";
    QTest::newRow("the folder above") << ".."
                                      << "it is a symbolic link to ROOT, outside the "
                                         "release folder";
    QTest::newRow("folder inside") << "text"
                                   << "it is a symbolic link to a folder; only links "
                                      "to files are published";
    QTest::newRow("nothing") << "gone.txt"
                             << "it is a symbolic link to ROOT/release/gone.txt, "
                                "which does not exist";
}

void TestPublisher::refusesSymbolicLink()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString canonicalRoot = QFileInfo(root.path()).canonicalFilePath();
    const QString release = root.filePath("release");
    fillRelease(release);
    writeFile(root.filePath("outside.txt"), "a file the publisher never meant to publish");
    QVERIFY(QFile::link(target.replace("ROOT", canonicalRoot), release + "/link"));

    const Outcome outcome = publish(makeArguments(release));

    QCOMPARE(outcome.status, int(PublisherRefused));
    QCOMPARE(outcome.err, "corvantile-publish: " + release +
                              "/link: " + reason.replace("ROOT", canonicalRoot) + "\n");
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesKey_data()
{
    QTest::addColumn<QByteArray>("pem");
    QTest::addColumn<QString>("reason");

    PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    PkeyPointer edwards(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const PkeyPointer development = developmentKey();

    QTest::newRow("no such file") << QByteArray() << "cannot read it: ";
    QTest::newRow("not PEM") << QByteArray("this is no key\n")
                             << "it holds no readable PEM private key (";
    QTest::newRow("public key") << readFile(publicKey())
                                << "it holds a public key; signing needs the private key";
    QTest::newRow("elliptic curve")
        << pemOfPrivateKey(ellipticCurve.get()) << "it holds a key of type EC, not a plain RSA key";
    QTest::newRow("Ed25519") << pemOfPrivateKey(edwards.get())
                             << "it holds a key of type ED25519, not a plain RSA key";
    QTest::newRow("protected by a passphrase")
        << pemOfPrivateKey(development.get(), EVP_aes_128_cbc(), "secret")
        << "the key is protected by a passphrase, which this tool does not ask for";
}

void TestPublisher::refusesKey()
{
    QFETCH(QByteArray, pem);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    const QString keyPath = root.filePath("key.pem");
    if (!pem.isNull())
        writeFile(keyPath, pem);
    QStringList arguments = makeArguments(release);
    arguments[arguments.indexOf("--key") + 1] = keyPath;

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(outcome.err.startsWith("corvantile-publish: " + keyPath + ": " + reason),
             qPrintable(outcome.err));
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesMissingReleaseOrPrevious_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QByteArray>("previousContent");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no release folder") << "release" << QByteArray() << "no such folder";
    QTest::newRow("no previous manifest") << "old.xml" << QByteArray() << "cannot read it: ";
    QTest::newRow("previous manifest is not XML")
        << "old.xml" << QByteArray("<Update><Version>1.0.0</Version>")
        << "not a well-formed XML manifest (line ";
    // Read as installations read a manifest: one this deep would exhaust the stack.
    QTest::newRow("previous manifest nested too deep")
        << "old.xml" << (QByteArray("<a>").repeated(5000) + QByteArray("</a>").repeated(5000))
        << "its elements are nested deeper than 4096 levels (line 1, column ";
}

void TestPublisher::refusesMissingReleaseOrPrevious()
{
    QFETCH(QString, missing);
    QFETCH(QByteArray, previousContent);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    if (missing != "release")
        fillRelease(release);
    if (!previousContent.isNull())
        writeFile(root.filePath("old.xml"), previousContent);
    const QStringList arguments = makeArguments(release, "1.1.0")
                                  << "--previous" << root.filePath("old.xml");

    const Outcome outcome = publish(arguments);

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(
        outcome.err.startsWith("corvantile-publish: " + root.filePath(missing) + ": " + reason),
        qPrintable(outcome.err));
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

void TestPublisher::refusesFileItCannotReadWhole_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");

    // Both stand for a file that changes between the walk of the folder and its hashing, which
    // a test cannot time: a digest made of what could be read would not be the file's.
    QTest::newRow("gone before it was read") << "ROOT/gone.dll"
                                             << "cannot read it: No such file or directory";
    QTest::newRow("more bytes than the file system counts")
        << "/proc/version"
        << "cannot read it whole: %1 of 0 bytes came; it changed while it was read, or reading "
           "failed";
}

void TestPublisher::refusesFileItCannotReadWhole()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);

    QTemporaryDir root;
    path.replace("ROOT", root.path());
    writeFile(root.filePath("sound.dll"), "sound");
    ReleaseSigner signer;
    QString error;
    QVERIFY2(signer.load(privateKey(), &error), qPrintable(error));

    const std::vector<SignedDigest> digests =
        digestAndSign({root.filePath("sound.dll"), path}, signer);

    QCOMPARE(digests.size(), std::size_t(2));
    QCOMPARE(QString::fromStdString(digests[0].file.md5), md5Of("sound"));
    QVERIFY(digests[0].error.isEmpty());
    const SignedDigest &unread = digests[1];
    if (reason.contains("%1"))
        reason = reason.arg(readFile(path).size());
    QCOMPARE(unread.error, reason);
    QVERIFY(unread.file.md5.empty());
    QVERIFY(unread.signature.isEmpty());
}

void TestPublisher::manifestLayout()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    writeFile(release + "/bin/a.dll", "abc");
    writeFile(release + "/B&B.txt", "abc");

    const Outcome outcome = publish(makeArguments(release, "2.5.0"));
    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
    QCOMPARE(outcome.out, release + "/update.xml: version 2.5.0, 2 files\n");

    const QString written = QString::fromUtf8(readFile(release + "/update.xml"));
    const Manifest manifest = readManifestAt(release + "/update.xml");
    const QString signature = manifest.signatures.value("bin/a.dll");
    QVERIFY(!signature.isEmpty());
    // The same content gives the same digest and so the same signature.
    QCOMPARE(manifest.signatures.value("B&B.txt"), signature);
    const QString expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<Update>\n"
                             "    <UpdateServer>" +
                             server +
                             "</UpdateServer>\n"
                             "    <Version>2.5.0</Version>\n"
                             "    <Files>\n"
                             "        <File>\n"
                             "            <Name>B&amp;B.txt</Name>\n"
                             "            <Version>2.5.0</Version>\n"
                             "            <MD5>900150983cd24fb0d6963f7d28e17f72</MD5>\n"
                             "            <Signature>" +
                             signature +
                             "</Signature>\n"
                             "        </File>\n"
                             "        <File>\n"
                             "            <Name>bin/a.dll</Name>\n"
                             "            <Version>2.5.0</Version>\n"
                             "            <MD5>900150983cd24fb0d6963f7d28e17f72</MD5>\n"
                             "            <Signature>" +
                             signature +
                             "</Signature>\n"
                             "        </File>\n"
                             "    </Files>\n"
                             "</Update>\n";
    QCOMPARE(written, expected);
}

void TestPublisher::digestsAreTextModeAndSignaturesOpenWithThePublicKey()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    // Names whose file-system order differs from the updater's (UTF-16 code units, case first).
    writeFile(release + "/a-b.txt", "1");
    writeFile(release + "/a/b.txt", "2");
    writeFile(release + "/Z.txt", "3");
    writeFile(release + QString::fromUtf8("/ä.txt"), "4");

    const Outcome outcome = publish(makeArguments(release));
    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
    QVERIFY2(outcome.err.isEmpty(), qPrintable(outcome.err));

    const Manifest manifest = readManifestAt(release + "/update.xml");
    QCOMPARE(manifest.server, server);
    QCOMPARE(manifest.version, QString("1.0.0"));
    const QStringList order{"Z.txt",
                            "a-b.txt",
                            "a/b.txt",
                            "data/eof.bin",
                            "text/readme.txt",
                            "tool.exe",
                            QString::fromUtf8("ä.txt"),
                            QString::fromUtf8("数据/钱包.dat")};
    QCOMPARE(manifest.namesInOrder, order);
    QCOMPARE(manifest.files.keys(), order);

    // As installations compute them: CR LF counts as LF, 0x1A ends the file.
    QCOMPARE(manifest.digests.value("text/readme.txt"), md5Of("line one\nline two\n"));
    QCOMPARE(manifest.digests.value("data/eof.bin"), md5Of("before"));
    QCOMPARE(manifest.digests.value("tool.exe"), md5Of(QByteArray("MZ\x90\x00\x03\x00\r\x00", 8)));
    QCOMPARE(manifest.digests.value(QString::fromUtf8("数据/钱包.dat")), md5Of("wallet"));

    const QByteArray developmentPublic = readFile(publicKey());
    const QByteArray otherPublic = readFile(testData("keys/other_public.pem"));
    for (const QString &name : order) {
        QCOMPARE(manifest.files.value(name), QString("1.0.0"));
        const QString digest = manifest.digests.value(name);
        const QString signature = manifest.signatures.value(name);
        QVERIFY2(!signature.contains('\n'), qPrintable(name));
        QVERIFY2(checkSignatureWithKey(signature, digest, developmentPublic.constData()),
                 qPrintable(name));
        QVERIFY2(!checkSignatureWithKey(signature, digest, otherPublic.constData()),
                 qPrintable(name));
    }
}

void TestPublisher::outputIsDeterministic()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    writeFile(release + "/many/1.txt", "one");
    writeFile(release + "/many/2.txt", "two");

    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    const QByteArray first = readFile(release + "/update.xml");
    // The second run finds the first one's update.xml in the folder and must leave it out.
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    QCOMPARE(readFile(release + "/update.xml"), first);

    // Where the folder lies does not show in the manifest.
    const QString copy = root.filePath("elsewhere/copy");
    QDir().mkpath(copy);
    for (const QString &name :
         {QString("tool.exe"), QString("text/readme.txt"), QString("data/eof.bin"),
          QString::fromUtf8("数据/钱包.dat"), QString("many/1.txt"), QString("many/2.txt")})
        writeFile(copy + "/" + name, readFile(release + "/" + name));
    QCOMPARE(publish(makeArguments(copy) << "--output" << root.filePath("copy.xml")).status,
             int(PublisherSuccess));
    QCOMPARE(readFile(root.filePath("copy.xml")), first);
}

void TestPublisher::leavesOutManifestStagingFilesAndOutput()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    writeFile(release + "/update.xml", "an old manifest");
    writeFile(release + "/tool.exe.update", "a download that never finished");
    writeFile(release + "/manifest.xml", "the previous output");

    const Outcome outcome =
        publish(makeArguments(release) << "--output" << release + "/manifest.xml");

    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
    QCOMPARE(outcome.err, "corvantile-publish: note: left out " + release +
                              "/tool.exe.update: a staging file of the updater\n");
    QCOMPARE(readFile(release + "/update.xml"), QByteArray("an old manifest"));
    const Manifest manifest = readManifestAt(release + "/manifest.xml");
    QCOMPARE(manifest.files.keys(), (QStringList{"data/eof.bin", "text/readme.txt", "tool.exe",
                                                 QString::fromUtf8("数据/钱包.dat")}));
}

void TestPublisher::linkToFileInsideIsPublished()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QVERIFY(QDir().mkpath(release + "/docs"));
    QVERIFY(QFile::link("../text/readme.txt", release + "/docs/readme.txt"));

    const Outcome outcome = publish(makeArguments(release));

    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
    const Manifest manifest = readManifestAt(release + "/update.xml");
    QVERIFY(manifest.files.contains("docs/readme.txt"));
    QCOMPARE(manifest.digests.value("docs/readme.txt"), md5Of("line one\nline two\n"));
    QCOMPARE(manifest.signatures.value("docs/readme.txt"),
             manifest.signatures.value("text/readme.txt"));
}

void TestPublisher::previousKeepsVersionsOfUnchangedFiles()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    writeFile(release + "/same.dll", "unchanged in every release");
    writeFile(release + "/config.txt", "a=1\n");
    writeFile(release + "/plugin.dll", "plugin 1");
    writeFile(release + "/dropped.txt", "only in 1.0.0");
    QCOMPARE(
        publish(makeArguments(release, "1.0.0") << "--output" << root.filePath("1.0.0.xml")).status,
        int(PublisherSuccess));

    writeFile(release + "/plugin.dll", "plugin 2");
    writeFile(release + "/sub/added.txt", "new in 1.1.0");
    QVERIFY(QFile::remove(release + "/dropped.txt"));
    const Outcome second =
        publish(makeArguments(release, "1.1.0") << "--previous" << root.filePath("1.0.0.xml")
                                                << "--output" << root.filePath("1.1.0.xml"));
    QVERIFY2(second.status == PublisherSuccess, qPrintable(second.err));
    QCOMPARE(second.out, "changed  plugin.dll\n"
                         "new      sub/added.txt\n"
                         "dropped  dropped.txt\n"
                         "1 new, 1 changed, 2 unchanged, 1 dropped since 1.0.0\n" +
                             root.filePath("1.1.0.xml") + ": version 1.1.0, 4 files\n");
    const Manifest secondManifest = readManifestAt(root.filePath("1.1.0.xml"));
    QCOMPARE(secondManifest.files, (FileTable{{"config.txt", "1.0.0"},
                                              {"plugin.dll", "1.1.0"},
                                              {"same.dll", "1.0.0"},
                                              {"sub/added.txt", "1.1.0"}}));

    // A file keeps the version its last change gave it, not the previous release's. CR LF in
    // place of LF leaves the digest, and so the version, as it was.
    writeFile(release + "/config.txt", "a=1\r\n");
    writeFile(release + "/same.dll", "changed at last");
    const Outcome third =
        publish(makeArguments(release, "1.2.0") << "--previous" << root.filePath("1.1.0.xml"));
    QVERIFY2(third.status == PublisherSuccess, qPrintable(third.err));
    const Manifest thirdManifest = readManifestAt(release + "/update.xml");
    QCOMPARE(thirdManifest.files, (FileTable{{"config.txt", "1.0.0"},
                                             {"plugin.dll", "1.1.0"},
                                             {"same.dll", "1.2.0"},
                                             {"sub/added.txt", "1.1.0"}}));
}

void TestPublisher::progressOnlyWhenAsked()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);

    const Outcome quiet = publish(makeArguments(release), PublisherProgress::Quiet);
    const Outcome shown = publish(makeArguments(release), PublisherProgress::Shown);

    QCOMPARE(quiet.status, int(PublisherSuccess));
    QCOMPARE(shown.status, int(PublisherSuccess));
    QVERIFY(quiet.err.isEmpty());
    QVERIFY2(shown.err.startsWith("\rhashing and signing: "), qPrintable(shown.err));
    QVERIFY2(shown.err.endsWith("\rhashing and signing: 4/4 files, 0/0 MiB\n"),
             qPrintable(shown.err));
    QCOMPARE(shown.out, quiet.out);
}

void TestPublisher::warnsOfBytesAfterTheEndOfFileMark_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("digested");
    QTest::addColumn<QString>("warning");

    const QString note = "corvantile-publish: warning: bin/file.dll: only the first %1 of %2 bytes "
                         "are covered by its digest and signature (a 0x1A byte ends the "
                         "text-mode digest)\n";
    const QByteArray code("MZ\x1a code after the mark");
    QTest::newRow("0x1A before the end: the bytes after it are not covered")
        << code << QByteArray("MZ") << note.arg(2).arg(code.size());
    QTest::newRow("0x1A first: no byte is covered")
        << QByteArray("\x1a\x00\x01", 3) << QByteArray() << note.arg(0).arg(3);
    const QByteArray lines("a\r\nb\x1a tail");
    QTest::newRow("CR LF before the mark: the count is of bytes in the file")
        << lines << QByteArray("a\nb") << note.arg(4).arg(lines.size());
    const QByteArray head(200 * 1024 + 7, 'x');
    QTest::newRow("0x1A far into the file, past the first reads")
        << head + "\x1a" + QByteArray(70 * 1024, 'y') << head
        << note.arg(head.size()).arg(head.size() + 1 + 70 * 1024);
    QTest::newRow("0x1A as the last byte: nothing is left uncovered")
        << QByteArray("text\x1a") << QByteArray("text") << QString();
    QTest::newRow("no 0x1A") << QByteArray(300 * 1024, 'z') << QByteArray(300 * 1024, 'z')
                             << QString();
}

void TestPublisher::warnsOfBytesAfterTheEndOfFileMark()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, digested);
    QFETCH(QString, warning);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    writeFile(release + "/bin/file.dll", content);
    writeFile(release + "/plain.txt", "no mark in here");

    const Outcome made = publish(makeArguments(release));

    QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));
    const QString hint = "corvantile-publish: hint: installations cannot tell if those bytes were "
                         "changed on the way; serve the release over HTTPS so that nobody "
                         "between the server and them can change them\n";
    QCOMPARE(made.err, warning.isEmpty() ? QString() : warning + hint);
    const Manifest manifest = readManifestAt(release + "/update.xml");
    QCOMPARE(manifest.digests.value("bin/file.dll"), md5Of(digested));

    // verify says the same of the file, once, and passes it: installations accept it too.
    const Outcome verified = publish({"verify", "--release", release, "--key", publicKey()});

    QVERIFY2(verified.status == PublisherSuccess, qPrintable(verified.out + verified.err));
    QCOMPARE(verified.err, warning);
    QVERIFY2(verified.out.contains("ok             \"bin/file.dll\"\n"), qPrintable(verified.out));
}

void TestPublisher::verifyPassesCleanRelease()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));

    StandardOutputCapture capture;
    const Outcome outcome = publish({"verify", "--release", release, "--key", publicKey()});

    QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.out + outcome.err));
    QCOMPARE(outcome.out, release + "/update.xml: version 1.0.0, server " + server +
                              "\n"
                              "ok             \"data/eof.bin\"\n"
                              "ok             \"text/readme.txt\"\n"
                              "ok             \"tool.exe\"\n"
                              "ok             \"" +
                              QString::fromUtf8("数据/钱包.dat") +
                              "\"\n"
                              "4 listed: 4 ok, 0 failed; 0 not listed\n");
    QVERIFY(outcome.err.isEmpty());
    // The updater's diagnostics on standard output are not the tool's to repeat.
    QCOMPARE(capture.captured(), QString());
}

void TestPublisher::verifyFinds_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("line");

    QTest::newRow("altered file") << "alter"
                                  << "tool.exe"
                                  << "MD5 MISMATCH   \"tool.exe\" (listed ";
    QTest::newRow("byte after 0x1A changed: not seen, as installations do not see it")
        << "after eof"
        << "data/eof.bin"
        << "ok             \"data/eof.bin\"";
    QTest::newRow("missing file") << "delete"
                                  << "text/readme.txt"
                                  << "MISSING        \"text/readme.txt\"";
    QTest::newRow("wrong key") << "other key"
                               << "tool.exe"
                               << "BAD SIGNATURE  \"tool.exe\" (it does not open to the listed "
                                  "digest with this key)";
    QTest::newRow("another file's signature")
        << "swap signatures"
        << "tool.exe"
        << "BAD SIGNATURE  \"tool.exe\" (it does not open to the listed digest with this key)";
    QTest::newRow("signature removed") << "drop signature"
                                       << "tool.exe"
                                       << "BAD SIGNATURE  \"tool.exe\" (none listed)";
    QTest::newRow("digest removed") << "drop digest"
                                    << "tool.exe"
                                    << "NO DIGEST      \"tool.exe\" (installations would install "
                                       "it unchecked)";
}

void TestPublisher::verifyFinds()
{
    QFETCH(QString, change);
    QFETCH(QString, name);
    QFETCH(QString, line);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    QString manifestText = QString::fromUtf8(readFile(release + "/update.xml"));
    const Manifest manifest = readManifestAt(release + "/update.xml");
    QString key = publicKey();

    if (change == "alter")
        writeFile(release + "/" + name, "MZ tampered");
    else if (change == "after eof")
        writeFile(release + "/" + name, "before\x1a and something else");
    else if (change == "delete")
        QVERIFY(QFile::remove(release + "/" + name));
    else if (change == "other key")
        key = testData("keys/other_public.pem");
    else if (change == "swap signatures")
        manifestText.replace(manifest.signatures.value(name),
                             manifest.signatures.value("text/readme.txt"));
    else if (change == "drop signature")
        manifestText.replace("<Signature>" + manifest.signatures.value(name) + "</Signature>", "");
    else if (change == "drop digest")
        manifestText.replace("<MD5>" + manifest.digests.value(name) + "</MD5>", "");
    writeFile(release + "/update.xml", manifestText.toUtf8());

    const Outcome outcome = publish({"verify", "--release", release, "--key", key});

    const QString reported = lineFor(outcome.out, name);
    QVERIFY2(reported.startsWith(line), qPrintable(outcome.out));
    const bool passes = line.startsWith("ok");
    QCOMPARE(outcome.status, int(passes ? PublisherSuccess : PublisherRefused));
    QVERIFY2(outcome.out.contains(passes ? " 0 failed;" : " failed;"), qPrintable(outcome.out));
}

void TestPublisher::verifyFlagsUnsafeManifestNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << ""
                           << "it is empty";
    QTest::newRow("parent") << "../tool.exe"
                            << "its component \"..\" walks the folder tree";
    QTest::newRow("absolute") << "/etc/passwd"
                              << "it is an absolute path";
    QTest::newRow("backslash") << "bin\\tool.exe"
                               << "it contains a backslash, which the updater reads as a folder "
                                  "separator";
    QTest::newRow("staging suffix") << "tool.exe.update"
                                    << "it ends in \".update\", the suffix of the updater's "
                                       "staging files";
    QTest::newRow("device name") << "lpt1.txt"
                                 << "its component \"lpt1.txt\" is a Windows device "
                                    "name";
    QTest::newRow("empty component") << "bin//tool.exe"
                                     << "it has an empty folder component";
}

void TestPublisher::verifyFlagsUnsafeManifestNames()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    QString manifestText = QString::fromUtf8(readFile(release + "/update.xml"));
    manifestText.replace("<Name>tool.exe</Name>", "<Name>" + name.toHtmlEscaped() + "</Name>");
    writeFile(release + "/update.xml", manifestText.toUtf8());

    const Outcome outcome = publish({"verify", "--release", release, "--key", publicKey()});

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(outcome.out.contains("UNSAFE NAME    \"" + name + "\" (" + reason + ")\n"),
             qPrintable(outcome.out));
    QVERIFY2(outcome.out.contains("NOT LISTED     \"tool.exe\"\n"), qPrintable(outcome.out));
    QVERIFY2(outcome.out.endsWith("4 listed: 3 ok, 1 failed; 1 not listed\n"),
             qPrintable(outcome.out));
}

void TestPublisher::verifyReportsUnlistedFiles()
{
    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    writeFile(release + "/later/added.dll", "added after make");
    writeFile(release + "/tool.exe.update", "a staging file is never listed");

    const Outcome outcome = publish({"verify", "--release", release, "--key", publicKey()});

    QCOMPARE(outcome.status, int(PublisherSuccess));
    QVERIFY2(outcome.out.endsWith("NOT LISTED     \"later/added.dll\"\n"
                                  "4 listed: 4 ok, 0 failed; 1 not listed\n"),
             qPrintable(outcome.out));
}

void TestPublisher::verifyFlagsManifestHeader_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("reason");

    QTest::newRow("short version") << "<Version>1.0.0</Version>\n    <Files>"
                                   << "<Version>1.0</Version>\n    <Files>"
                                   << "Version \"1.0\": it has fewer than three numeric components";
    QTest::newRow("no version") << "<Version>1.0.0</Version>\n    <Files>"
                                << "<Files>"
                                << "Version \"\": it has fewer than three numeric components";
    QTest::newRow("server with a trailing slash")
        << "corvantile</UpdateServer>"
        << "corvantile/</UpdateServer>"
        << "UpdateServer \"" + server + "/\": it ends in \"/\"";
}

void TestPublisher::verifyFlagsManifestHeader()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    QString manifestText = QString::fromUtf8(readFile(release + "/update.xml"));
    QVERIFY(manifestText.contains(from));
    writeFile(release + "/update.xml", manifestText.replace(from, to).toUtf8());

    const Outcome outcome = publish({"verify", "--release", release, "--key", publicKey()});

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(outcome.err.startsWith("corvantile-publish: " + release + "/update.xml: " + reason),
             qPrintable(outcome.err));
    // The files themselves are still checked and reported.
    QVERIFY2(outcome.out.endsWith("4 listed: 4 ok, 0 failed; 0 not listed\n"),
             qPrintable(outcome.out));
}

void TestPublisher::verifyRefuses_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("withManifest");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("reason");

    QTest::newRow("private key") << privateKey() << true << privateKey()
                                 << "it holds a private key; verify takes the public key the "
                                    "updater embeds";
    QTest::newRow("no such key") << "KEYDIR/none.pem" << true << "KEYDIR/none.pem"
                                 << "cannot read it: ";
    QTest::newRow("elliptic curve key") << "KEYDIR/ec.pem" << true << "KEYDIR/ec.pem"
                                        << "it holds a key of type EC, not a plain RSA key";
    QTest::newRow("no manifest") << publicKey() << false << "RELEASE/update.xml"
                                 << "cannot read it: ";
}

void TestPublisher::verifyRefuses()
{
    QFETCH(QString, key);
    QFETCH(bool, withManifest);
    QFETCH(QString, subject);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString release = root.filePath("release");
    fillRelease(release);
    if (withManifest)
        QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
    PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    writeFile(root.filePath("ec.pem"), pemOfPublicKey(ellipticCurve.get()));
    key.replace("KEYDIR", root.path());
    subject.replace("KEYDIR", root.path()).replace("RELEASE", release);

    const Outcome outcome = publish({"verify", "--release", release, "--key", key});

    QCOMPARE(outcome.status, int(PublisherRefused));
    QVERIFY2(outcome.err.startsWith("corvantile-publish: " + subject + ": " + reason),
             qPrintable(outcome.err));
    QVERIFY(outcome.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
