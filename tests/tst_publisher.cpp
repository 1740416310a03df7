// The publisher's tool, run in-process: its argument handling, every refusal of `make`, the
// manifest it writes, and what `verify` finds in a published folder.
#include "integrity/opensslhandles.h"
#include "integrity/signature.h"
#include "tests/testsupport.h"
#include "tools/publisher.h"
#include "tools/releasedigests.h"
#include "tools/releasesigner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>

namespace {

const QString server = QStringLiteral("https://127.0.0.1:8080/corvantile");
const QString tool = QStringLiteral("corvantile-publish: ");
const QString wallet = QString::fromUtf8("数据/钱包.dat");

QString privateKey()
{
    return testDataPath("keys/dev_private.pem");
}

QString publicKey()
{
    return testDataPath("keys/dev_public.pem");
}

QStringList makeArguments(const QString &release, const QString &version = "1.0.0")
{
    return {"make",      "--release", release, "--server",  server,
            "--version", version,     "--key", privateKey()};
}

QStringList verifyArguments(const QString &release, const QString &key = publicKey())
{
    return {"verify", "--release", release, "--key", key};
}

// A release with the kinds of content installations must get right: a binary, CR LF text, a
// byte 0x1A, a name outside Latin-1. The 0x1A is the last byte, so that the digest covers the
// whole file and the tool has nothing to warn of (see warnsOfBytesAfterTheEndOfFileMark).
void fillRelease(const QString &dir)
{
    writeFile(dir + "/tool.exe", QByteArray("MZ\x90\x00\x03\x00\r\x00", 8));
    writeFile(dir + "/text/readme.txt", "line one\r\nline two\r\n");
    writeFile(dir + "/data/eof.bin", "before\x1a");
    writeFile(dir + "/" + wallet, "wallet");
}

// The release folder inside a scratch folder, filled as above unless asked not to.
QString releaseIn(const QTemporaryDir &root, bool filled = true)
{
    const QString release = root.filePath("release");
    if (filled)
        fillRelease(release);
    return release;
}

QString manifestTextIn(const QString &release)
{
    return QString::fromUtf8(readFile(release + "/update.xml"));
}

QByteArray memoryText(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<int>(size));
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
    return memoryText(bio.get());
}

PkeyPointer developmentKey()
{
    return readPrivateKeyFile(privateKey());
}

QString lineFor(const QString &output, const QString &name)
{
    for (const QString &line : output.split('\n')) {
        if (line.endsWith("\"" + name + "\"") || line.contains("\"" + name + "\" ("))
            return line;
    }
    return QString();
}

// A table of text columns: one row per entry, its name first, then its texts in column order.
void textTable(std::initializer_list<const char *> columns, const QList<QStringList> &rows)
{
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    for (const QStringList &row : rows) {
        QTestData &data = QTest::newRow(qPrintable(row.first()));
        for (int i = 1; i < row.size(); ++i)
            data << row.at(i);
    }
}

// A refusal of `make`: its status, its message (whole, or how it starts), and no manifest.
void checkRefused(const PublisherOutcome &outcome, const QString &release, const QString &message,
                  bool whole = true)
{
    QCOMPARE(outcome.status, int(PublisherRefused));
    if (whole)
        QCOMPARE(outcome.err, tool + message + "\n");
    else
        QVERIFY2(outcome.err.startsWith(tool + message), qPrintable(outcome.err));
    QVERIFY(!QFile::exists(release + "/update.xml"));
}

// An entry for a file holding "abc": the digests are the RFC 1321 and FIPS 180-2 test values.
QString fileElement(const QString &name, const QString &signature, const QString &sha256Signature)
{
    return "        <File>\n"
           "            <Name>" +
           name +
           "</Name>\n"
           "            <Version>2.5.0</Version>\n"
           "            <MD5>900150983cd24fb0d6963f7d28e17f72</MD5>\n"
           "            <Signature>" +
           signature +
           "</Signature>\n"
           "            "
           "<SHA256>ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad</SHA256>\n"
           "            <SHA256Signature>" +
           sha256Signature +
           "</SHA256Signature>\n"
           "        </File>\n";
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void usageErrors_data()
    {
        const QString verify = "verify --release r --key k ";
        textTable({"arguments", "message"},
                  {{"no command", "", ": no command given"},
                   {"unknown command", "publish", ": unknown command \"publish\""},
                   {"unknown option", verify + "--force", " verify: unknown option --force"},
                   {"value missing at the end", "verify --key k --release",
                    " verify: --release needs a value"},
                   {"empty value", "verify --release= --key k",
                    " verify: --release needs a value, not empty text"},
                   {"option twice", verify + "--key k2", " verify: --key is given twice"},
                   {"stray argument", verify + "extra", " verify: unexpected argument \"extra\""},
                   {"verify without key", "verify --release r", " verify: missing --key"},
                   {"make without anything", "make", " make: missing --release"},
                   {"value given to a flag", "make --allow-unchanged=yes",
                    " make: --allow-unchanged takes no value"}});
    }

    void usageErrors()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        const PublisherOutcome outcome = publish(arguments.split(' ', Qt::SkipEmptyParts));
        QCOMPARE(outcome.status, int(PublisherUsageError));
        const QStringList lines = outcome.err.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), "corvantile-publish" + message);
        QVERIFY2(lines.at(1).startsWith("Try \"corvantile-publish") &&
                     lines.at(1).endsWith(" --help\"."),
                 qPrintable(lines.at(1)));
        QVERIFY(outcome.out.isEmpty());
    }

    void helpIsShown_data()
    {
        textTable({"arguments", "usage"},
                  {{"top level", "--help", "COMMAND"},
                   {"help wins over other options", "make --release r --bogus --help", "make "}});
    }

    void helpIsShown()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, usage);
        const PublisherOutcome outcome = publish(arguments.split(' '));
        QCOMPARE(outcome.status, int(PublisherSuccess));
        QVERIFY2(outcome.out.startsWith("Usage: corvantile-publish " + usage),
                 qPrintable(outcome.out));
        QVERIFY(outcome.err.isEmpty());
    }

    void refusesVersion_data()
    {
        const QString few = "it has fewer than three numeric components";
        const QString notDecimal = "its component \"%1\" is not a decimal number";
        const QString notNewer = "it is not newer than \"%1\"";
        textTable(
            {"version", "previousVersion", "reason"},
            {{"two components", "1.2", "", few},
             {"suffix", "1.2.3-beta", "", notDecimal.arg("3-beta")},
             {"beyond the integer range", "1.2.99999999999", "", notDecimal.arg("99999999999")},
             {"same as the previous", "1.2.3", "1.2.3", notNewer.arg("1.2.3")}});
    }

    void refusesVersion()
    {
        QFETCH(QString, version);
        QFETCH(QString, previousVersion);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        QStringList arguments = makeArguments(release, version);
        if (!previousVersion.isEmpty()) {
            writeFile(root.filePath("old.xml"), "<Update><Version>" + previousVersion.toUtf8() +
                                                    "</Version><Files/></Update>");
            arguments << "--previous" << root.filePath("old.xml");
        }
        const PublisherOutcome outcome = publish(arguments);
        if (!previousVersion.isEmpty())
            QVERIFY2(outcome.err.contains(root.filePath("old.xml")), qPrintable(outcome.err));
        checkRefused(outcome, release, "--version " + version + ": " + reason, false);
    }

    void refusesServer_data()
    {
        const QString notAbsolute = "it is not an absolute http:// or https:// address";
        textTable({"url", "reason"},
                  {{"no scheme", "127.0.0.1/app", notAbsolute},
                   {"ftp", "ftp://127.0.0.1/app", notAbsolute},
                   {"no host", "http:///app", notAbsolute},
                   {"trailing slash", "http://127.0.0.1/app/",
                    "it ends in \"/\"; installations append \"/update.xml\" themselves"},
                   {"query", "http://127.0.0.1/app?channel=beta",
                    "installations append \"/update.xml\" to it, which a query or fragment "
                    "would swallow"}});
    }

    void refusesServer()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        QStringList arguments = makeArguments(release);
        arguments[arguments.indexOf("--server") + 1] = url;
        checkRefused(publish(arguments), release, "--server " + url + ": " + reason);
    }

    void refusesUnsafeName_data()
    {
        const QString character = "it contains the character '%1', which Windows does not allow "
                                  "in file names";
        const QString control = "it contains the control character U+%1, which Windows does not "
                                "allow in file names";
        const QString device = "its component \"%1\" is a Windows device name";
        const QString dropped = "its component \"%1\" ends in a %2, which Windows drops";
        textTable({"name", "reason"},
                  {{"backslash", "bin\\tool.dll",
                    "it contains a backslash, which the updater reads as a folder separator"},
                   {"less than", "a<b.txt", character.arg('<')},
                   {"line feed", "two\nlines.txt", control.arg("000A")},
                   {"device name as a folder", "sub/NUL/x.dat", device.arg("NUL")},
                   {"folder with trailing dot", "bin./a.dll", dropped.arg("bin.", "dot")},
                   {"trailing blank", "sub/notes.txt ", dropped.arg("notes.txt ", "blank")},
                   {"hash", "issue#7.txt",
                    "it contains '#', which would end the download address (a URL fragment)"},
                   {"percent escape", "a%41.txt",
                    "\"%41\" in it would be read as a percent escape in the download address"},
                   // The updater's own rules, which the tool applies as they stand.
                   {"colon second, read as a drive", "a:b.txt",
                    "it contains a colon: Windows reads \"a:\" as a drive, and allows no colon "
                    "in file names"},
                   {"the installation's manifest in another case", "Update.XML",
                    "it is the installation's own manifest"}});
    }

    void refusesUnsafeName()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        writeFile(release + "/" + name, "content");
        checkRefused(publish(makeArguments(release)), release,
                     release + "/" + name + ": " + reason);
    }

    void acceptsNamesNearTheRules_data()
    {
        textTable({"name"}, {{"device name inside a longer name", "CONSOLE.txt"},
                             {"two-digit port number", "COM10"},
                             {"percent without an escape", "100%.txt"},
                             {"percent before non-hex", "%zz.txt"},
                             {"update.xml below the top", "docs/update.xml"},
                             {"outside the BMP", QString::fromUtf8("emoji/\xF0\x9F\x98\x80.txt")}});
    }

    void acceptsNamesNearTheRules()
    {
        QFETCH(QString, name);
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        writeFile(release + "/" + name, "content");
        const PublisherOutcome outcome = publish(makeArguments(release));
        QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
        const ManifestSummary manifest = summaryOf(release + "/update.xml");
        QCOMPARE(manifest.files.keys(), QStringList{name});
        QCOMPARE(manifest.digests.value(name), md5Of("content"));
    }

    void refusesNamesThatDifferOnlyInCase()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        writeFile(release + "/bin/Tool.dll", "one");
        writeFile(release + "/bin/tool.dll", "two");
        checkRefused(publish(makeArguments(release)), release,
                     release + "/bin/tool.dll: it differs from \"bin/Tool.dll\" only in case, and "
                               "Windows does not tell the two apart");
    }

    void refusesSymbolicLink_data()
    {
        // Targets are relative to the link, which stands at the top of the release; "ROOT" is the
        // temporary folder that holds the release.
        const QString outside = "it is a symbolic link to %1, outside the release folder";
        textTable({"target", "reason"},
                  {{"file outside, relative", "../outside.txt", outside.arg("ROOT/outside.txt")},
                   {"folder inside", "text",
                    "it is a symbolic link to a folder; only links to files are published"},
                   {"nothing", "gone.txt",
                    "it is a symbolic link to ROOT/release/gone.txt, which does not exist"}});
    }

    void refusesSymbolicLink()
    {
        QFETCH(QString, target);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString canonicalRoot = QFileInfo(root.path()).canonicalFilePath();
        const QString release = root.filePath("release");
        fillRelease(release);
        writeFile(root.filePath("outside.txt"), "a file the publisher never meant to publish");
        QVERIFY(QFile::link(target.replace("ROOT", canonicalRoot), release + "/link"));
        checkRefused(publish(makeArguments(release)), release,
                     release + "/link: " + reason.replace("ROOT", canonicalRoot));
    }

    void refusesKey_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QTest::addColumn<QString>("reason");
        PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        const PkeyPointer development = developmentKey();
        const QString notRsa = "it holds a key of type %1, not a plain RSA key";
        QTest::newRow("no such file") << QByteArray() << "cannot read it: ";
        QTest::newRow("not PEM") << QByteArray("this is no key\n")
                                 << "it holds no readable PEM private key (";
        QTest::newRow("public key")
            << readFile(publicKey()) << "it holds a public key; signing needs the private key";
        QTest::newRow("elliptic curve") << pemOfPrivateKey(ellipticCurve.get()) << notRsa.arg("EC");
        QTest::newRow("protected by a passphrase")
            << pemOfPrivateKey(development.get(), EVP_aes_128_cbc(), "secret")
            << "the key is protected by a passphrase, which this tool does not ask for";
    }

    void refusesKey()
    {
        QFETCH(QByteArray, pem);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        const QString keyPath = root.filePath("key.pem");
        if (!pem.isNull())
            writeFile(keyPath, pem);
        QStringList arguments = makeArguments(release);
        arguments[arguments.indexOf("--key") + 1] = keyPath;
        checkRefused(publish(arguments), release, keyPath + ": " + reason, false);
    }

    void refusesMissingReleaseOrPrevious_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QByteArray>("previousContent");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no release folder") << "release" << QByteArray() << "no such folder";
        QTest::newRow("no previous manifest") << "old.xml" << QByteArray() << "cannot read it: ";
        QTest::newRow("previous manifest is not XML")
            << "old.xml" << QByteArray("<Update><Version>1.0.0</Version>")
            << "not a well-formed XML manifest (line ";
    }

    void refusesMissingReleaseOrPrevious()
    {
        QFETCH(QString, missing);
        QFETCH(QByteArray, previousContent);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        if (missing != "release")
            fillRelease(release);
        if (!previousContent.isNull())
            writeFile(root.filePath("old.xml"), previousContent);
        const QStringList arguments = makeArguments(release, "1.1.0")
                                      << "--previous" << root.filePath("old.xml");
        checkRefused(publish(arguments), release, root.filePath(missing) + ": " + reason, false);
    }

    void refusesFileItCannotReadWhole_data()
    {
        // Both stand for a file that changes between the walk of the folder and its hashing,
        // which a test cannot time: a digest made of what could be read would not be the file's.
        textTable({"path", "reason"},
                  {{"gone before it was read", "ROOT/gone.dll",
                    "cannot read it: No such file or directory"},
                   {"more bytes than the file system counts", "/proc/version",
                    "cannot read it whole: %1 of 0 bytes came; it changed while it was read, or "
                    "reading failed"}});
    }

    void refusesFileItCannotReadWhole()
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

    void manifestLayout()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        writeFile(release + "/bin/a.dll", "abc");
        writeFile(release + "/B&B.txt", "abc");
        const PublisherOutcome outcome = publish(makeArguments(release, "2.5.0"));
        QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
        QCOMPARE(outcome.out, release + "/update.xml: version 2.5.0, 2 files\n");
        const ManifestSummary manifest = summaryOf(release + "/update.xml");
        const QString signature = manifest.signatures.value("bin/a.dll");
        const QString sha256Signature = manifest.sha256Signatures.value("bin/a.dll");
        QVERIFY(!signature.isEmpty());
        QVERIFY(!sha256Signature.isEmpty() && sha256Signature != signature);
        // The same content gives the same digest and so the same signature.
        QCOMPARE(manifest.signatures.value("B&B.txt"), signature);
        QCOMPARE(manifestTextIn(release),
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n    <UpdateServer>" +
                     server + "</UpdateServer>\n    <Version>2.5.0</Version>\n    <Files>\n" +
                     fileElement("B&amp;B.txt", signature, sha256Signature) +
                     fileElement("bin/a.dll", signature, sha256Signature) +
                     "    </Files>\n</Update>\n");
    }

    void digestsAreTextModeAndSignaturesOpenWithThePublicKey()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root);
        // Names whose file-system order differs from the updater's (UTF-16 code units, case
        // first).
        writeFile(release + "/a-b.txt", "1");
        writeFile(release + "/a/b.txt", "2");
        writeFile(release + "/Z.txt", "3");
        writeFile(release + QString::fromUtf8("/ä.txt"), "4");
        // A link to a file inside the release is published as the file it points to.
        QVERIFY(QFile::link("../text/readme.txt", release + "/a/readme.txt"));
        const PublisherOutcome outcome = publish(makeArguments(release));
        QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
        QVERIFY2(outcome.err.isEmpty(), qPrintable(outcome.err));
        const ManifestSummary manifest = summaryOf(release + "/update.xml");
        QCOMPARE(manifest.server, server);
        QCOMPARE(manifest.version, QString("1.0.0"));
        const QStringList order{
            "Z.txt",        "a-b.txt",         "a/b.txt",  "a/readme.txt",
            "data/eof.bin", "text/readme.txt", "tool.exe", QString::fromUtf8("ä.txt"),
            wallet};
        QCOMPARE(manifest.namesInOrder, order);
        QCOMPARE(manifest.files.keys(), order);
        const QByteArray developmentPublic = readFile(publicKey());
        for (const QString &name : order) {
            QCOMPARE(manifest.files.value(name), QString("1.0.0"));
            // As installations compute them: CR LF counts as LF, 0x1A ends the file.
            const QString digest = manifest.digests.value(name);
            QCOMPARE(digest, textModeMd5Of(readFile(release + "/" + name)));
            const QString signature = manifest.signatures.value(name);
            QVERIFY2(!signature.contains('\n'), qPrintable(name));
            QVERIFY2(checkSignatureWithKey(signature, digest, developmentPublic.constData()),
                     qPrintable(name));
            // Every byte, as it lies on disk, whatever CR LF or 0x1A it holds.
            const QString sha256 = manifest.sha256Digests.value(name);
            QCOMPARE(sha256, sha256Of(readFile(release + "/" + name)));
            QVERIFY2(checkSignatureWithKey(manifest.sha256Signatures.value(name), sha256,
                                           developmentPublic.constData()),
                     qPrintable(name));
        }
    }

    void outputIsDeterministic()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root);
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
             {QString("tool.exe"), QString("text/readme.txt"), QString("data/eof.bin"), wallet,
              QString("many/1.txt"), QString("many/2.txt")})
            writeFile(copy + "/" + name, readFile(release + "/" + name));
        QCOMPARE(publish(makeArguments(copy) << "--output" << root.filePath("copy.xml")).status,
                 int(PublisherSuccess));
        QCOMPARE(readFile(root.filePath("copy.xml")), first);
    }

    void leavesOutManifestStagingFilesAndOutput()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root);
        writeFile(release + "/update.xml", "an old manifest");
        writeFile(release + "/tool.exe.update", "a download that never finished");
        writeFile(release + "/manifest.xml", "the previous output");
        const PublisherOutcome outcome =
            publish(makeArguments(release) << "--output" << release + "/manifest.xml");
        QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.err));
        QCOMPARE(outcome.err, tool + "note: left out " + release +
                                  "/tool.exe.update: a staging file of the updater\n");
        QCOMPARE(readFile(release + "/update.xml"), QByteArray("an old manifest"));
        QCOMPARE(summaryOf(release + "/manifest.xml").files.keys(),
                 (QStringList{"data/eof.bin", "text/readme.txt", "tool.exe", wallet}));
    }

    void previousKeepsVersionsOfUnchangedFiles()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        writeFile(release + "/same.dll", "unchanged in every release");
        writeFile(release + "/config.txt", "a=1\n");
        writeFile(release + "/plugin.dll", "plugin 1");
        writeFile(release + "/dropped.txt", "only in 1.0.0");
        writeFile(release + "/marked.dll", "MZ\x1a code 1");
        QCOMPARE(
            publish(makeArguments(release, "1.0.0") << "--output" << root.filePath("1.0.0.xml"))
                .status,
            int(PublisherSuccess));
        writeFile(release + "/plugin.dll", "plugin 2");
        writeFile(release + "/sub/added.txt", "new in 1.1.0");
        QVERIFY(QFile::remove(release + "/dropped.txt"));
        const PublisherOutcome second =
            publish(makeArguments(release, "1.1.0") << "--previous" << root.filePath("1.0.0.xml")
                                                    << "--output" << root.filePath("1.1.0.xml"));
        QVERIFY2(second.status == PublisherSuccess, qPrintable(second.err));
        QCOMPARE(second.out, "changed  plugin.dll\nnew      sub/added.txt\ndropped  dropped.txt\n"
                             "1 new, 1 changed, 3 unchanged, 1 dropped since 1.0.0\n" +
                                 root.filePath("1.1.0.xml") + ": version 1.1.0, 5 files\n");
        QCOMPARE(summaryOf(root.filePath("1.1.0.xml")).files,
                 (FileTable{{"config.txt", "1.0.0"},
                            {"marked.dll", "1.0.0"},
                            {"plugin.dll", "1.1.0"},
                            {"same.dll", "1.0.0"},
                            {"sub/added.txt", "1.1.0"}}));
        // A file keeps the version its last change gave it, not the previous release's. Changes
        // the text-mode digest does not see count too: CR LF in place of LF, and a byte after
        // the first 0x1A.
        writeFile(release + "/config.txt", "a=1\r\n");
        writeFile(release + "/marked.dll", "MZ\x1a code 2");
        writeFile(release + "/same.dll", "changed at last");
        const PublisherOutcome third =
            publish(makeArguments(release, "1.2.0") << "--previous" << root.filePath("1.1.0.xml"));
        QVERIFY2(third.status == PublisherSuccess, qPrintable(third.err));
        QCOMPARE(summaryOf(release + "/update.xml").files, (FileTable{{"config.txt", "1.2.0"},
                                                                      {"marked.dll", "1.2.0"},
                                                                      {"plugin.dll", "1.1.0"},
                                                                      {"same.dll", "1.2.0"},
                                                                      {"sub/added.txt", "1.1.0"}}));
        // Nothing new, changed or dropped since: refused unless asked for.
        const QByteArray manifest120 = readFile(release + "/update.xml");
        writeFile(root.filePath("1.2.0.xml"), manifest120);
        const QStringList unchanged = makeArguments(release, "1.3.0")
                                      << "--previous" << root.filePath("1.2.0.xml");
        const PublisherOutcome refused = publish(unchanged);
        QCOMPARE(refused.status, int(PublisherRefused));
        QVERIFY2(refused.err.endsWith(tool + release +
                                      ": nothing is new, changed or dropped since 1.2.0 (" +
                                      root.filePath("1.2.0.xml") +
                                      "), so installations would fetch nothing; give "
                                      "--allow-unchanged to publish it all the same\n"),
                 qPrintable(refused.err));
        QCOMPARE(readFile(release + "/update.xml"), manifest120);
        const PublisherOutcome allowed = publish(QStringList(unchanged) << "--allow-unchanged");
        QVERIFY2(allowed.status == PublisherSuccess, qPrintable(allowed.err));
        QVERIFY2(allowed.out.startsWith("0 new, 0 changed, 5 unchanged, 0 dropped since 1.2.0\n"),
                 qPrintable(allowed.out));
        // Signatures of unchanged files are taken over only where they open with the key that
        // signs now: after a change of key, every file is signed anew.
        const PublisherOutcome rekeyed =
            publish({"make", "--release", release, "--server", server, "--version", "1.4.0",
                     "--key", testDataPath("keys/other_private.pem"), "--previous",
                     release + "/update.xml", "--allow-unchanged"});
        QVERIFY2(rekeyed.status == PublisherSuccess, qPrintable(rekeyed.err));
        const PublisherOutcome verified =
            publish(verifyArguments(release, testDataPath("keys/other_public.pem")));
        QVERIFY2(verified.status == PublisherSuccess, qPrintable(verified.out));
    }

    void progressOnlyWhenAsked()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        // Counted in bytes, to the end even where the digest stops at a 0x1A; one file, not
        // "1 files".
        writeFile(release + "/big.dll",
                  QByteArray(1 << 20, 'a') + '\x1a' + QByteArray(2 * (1 << 20) - 1, 'b'));
        const PublisherOutcome quiet = publish(makeArguments(release), PublisherProgress::Quiet);
        const PublisherOutcome shown = publish(makeArguments(release), PublisherProgress::Shown);
        QCOMPARE(quiet.status, int(PublisherSuccess));
        QCOMPARE(shown.status, int(PublisherSuccess));
        QVERIFY(!quiet.err.contains("hashing"));
        QVERIFY2(shown.err.startsWith("\rhashing and signing: "), qPrintable(shown.err));
        QVERIFY2(shown.err.contains("\rhashing and signing: 1 of 1 file, 3.0 of 3.0 MiB\n"),
                 qPrintable(shown.err));
        QCOMPARE(shown.out, quiet.out);
        QCOMPARE(quiet.out, release + "/update.xml: version 1.0.0, 1 file\n");
    }

    void warnsOfBytesAfterTheEndOfFileMark_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("digested");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("address");
        const QString note = tool + "warning: bin/file.dll: only the first %1 of %2 bytes are "
                                    "covered by its MD5 digest and signature (a 0x1A byte ends "
                                    "the text-mode digest); its SHA256 digest and signature "
                                    "cover every byte for updaters that check them\n";
        const QByteArray code("MZ\x1a code after the mark");
        QTest::newRow("0x1A before the end: the bytes after it are not covered")
            << code << QByteArray("MZ") << note.arg(2).arg(code.size()) << server;
        QTest::newRow("0x1A first: no byte is covered")
            << QByteArray("\x1a\x00\x01", 3) << QByteArray() << note.arg(0).arg(3) << server;
        const QByteArray head(200 * 1024 + 7, 'x');
        QTest::newRow("0x1A far into the file, past the first reads")
            << head + "\x1a" + QByteArray(70 * 1024, 'y') << head
            << note.arg(head.size()).arg(head.size() + 1 + 70 * 1024) << server;
        QTest::newRow("0x1A as the last byte: nothing is left uncovered")
            << QByteArray("text\x1a") << QByteArray("text") << QString() << server;
        // Plain HTTP is not refused (loopback and intranet servers exist), but both commands
        // say what it leaves open.
        QTest::newRow("a plain http address") << QByteArray("z") << QByteArray("z") << QString()
                                              << "http://127.0.0.1:8080/corvantile";
    }

    void warnsOfBytesAfterTheEndOfFileMark()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, digested);
        QFETCH(QString, warning);
        QFETCH(QString, address);
        QTemporaryDir root;
        const QString release = releaseIn(root, false);
        writeFile(release + "/bin/file.dll", content);
        writeFile(release + "/plain.txt", "no mark in here");
        QStringList arguments = makeArguments(release);
        arguments[arguments.indexOf("--server") + 1] = address;
        const PublisherOutcome made = publish(arguments);
        QVERIFY2(made.status == PublisherSuccess, qPrintable(made.err));
        const QString hint = tool + "hint: installations whose updater predates SHA256 cannot "
                                    "tell if those bytes were changed on the way; serve the "
                                    "release over HTTPS so that nobody between the server and "
                                    "them can change them\n";
        const QString plainHttp =
            address.startsWith("http:")
                ? ": installations will fetch the release over plain HTTP, where anyone on the "
                  "way can change the manifest and what the digests do not cover; serve it over "
                  "https://\n"
                : QString();
        QCOMPARE(made.err,
                 (warning.isEmpty() ? QString() : warning + hint) +
                     (plainHttp.isEmpty() ? QString()
                                          : tool + "warning: --server " + address + plainHttp));
        QCOMPARE(summaryOf(release + "/update.xml").digests.value("bin/file.dll"), md5Of(digested));
        // verify says the same of the file, once, and passes it: installations accept it too.
        const PublisherOutcome verified = publish(verifyArguments(release));
        QVERIFY2(verified.status == PublisherSuccess, qPrintable(verified.out + verified.err));
        QCOMPARE(verified.err, (plainHttp.isEmpty() ? QString()
                                                    : tool + "warning: " + release +
                                                          "/update.xml: UpdateServer \"" + address +
                                                          "\"" + plainHttp) +
                                   warning);
        QVERIFY2(verified.out.contains("ok             \"bin/file.dll\"\n"),
                 qPrintable(verified.out));
    }

    void verifyPassesCleanRelease()
    {
        QTemporaryDir root;
        const QString release = releaseIn(root);
        QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
        // Files added since are reported, staging files of the updater are not.
        writeFile(release + "/later/added.dll", "added after make");
        writeFile(release + "/tool.exe.update", "a staging file is never listed");
        StandardOutputCapture capture;
        const PublisherOutcome outcome = publish(verifyArguments(release));
        QVERIFY2(outcome.status == PublisherSuccess, qPrintable(outcome.out + outcome.err));
        QCOMPARE(outcome.out, release + "/update.xml: version 1.0.0, server " + server +
                                  "\nok             \"data/eof.bin\"\n"
                                  "ok             \"text/readme.txt\"\n"
                                  "ok             \"tool.exe\"\n"
                                  "ok             \"" +
                                  wallet +
                                  "\"\nNOT LISTED     \"later/added.dll\"\n"
                                  "4 listed: 4 ok, 0 failed; 1 not listed\n");
        QVERIFY(outcome.err.isEmpty());
        // The updater's diagnostics on standard output are not the tool's to repeat.
        QCOMPARE(capture.captured(), QString());
    }

    void verifyFinds_data()
    {
        QTest::addColumn<QString>("name");
        // New content for the file; empty: the file is removed; null: left as made.
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("key");
        // A change to the manifest's text, where {md5}, {signature} and {sha256Signature} stand
        // for what it lists for the file.
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("line");
        const QString tool = "tool.exe";
        const QString key = publicKey();
        QTest::newRow("altered file") << tool << QByteArray("MZ tampered") << key << ""
                                      << ""
                                      << "MD5 MISMATCH   \"tool.exe\" (listed ";
        QTest::newRow("byte after 0x1A changed: only the SHA-256 sees it")
            << "data/eof.bin" << QByteArray("before\x1a and something else") << key << ""
            << ""
            << "SHA256 MISMATCH \"data/eof.bin\" (listed " + sha256Of("before\x1a") + ", file " +
                   sha256Of("before\x1a and something else") + ")";
        QTest::newRow("SHA-256 signature over the MD5 text")
            << tool << QByteArray() << key << "{sha256Signature}"
            << "{signature}"
            << "BAD SHA256 SIGNATURE \"tool.exe\" (it does not open to the listed SHA256 with this "
               "key)";
        QTest::newRow("missing file") << "text/readme.txt" << QByteArray("") << key << ""
                                      << ""
                                      << "MISSING        \"text/readme.txt\"";
        QTest::newRow("wrong key")
            << tool << QByteArray() << testDataPath("keys/other_public.pem") << ""
            << ""
            << "BAD SIGNATURE  \"tool.exe\" (it does not open to the listed digest with this key)";
        // The updater's name rules, applied as they stand.
        QTest::newRow("unsafe name")
            << "../tool.exe" << QByteArray() << key << "<Name>tool.exe</Name>"
            << "<Name>../tool.exe</Name>"
            << "UNSAFE NAME    \"../tool.exe\" (its component \"..\" walks "
               "the folder tree)";
        QTest::newRow("backslash in a name")
            << "bin\\tool.exe" << QByteArray() << key << "<Name>tool.exe</Name>"
            << "<Name>bin\\tool.exe</Name>"
            << "UNSAFE NAME    \"bin\\tool.exe\" (it contains a backslash, which the updater reads "
               "as a folder separator)";
        QTest::newRow("digest removed")
            << tool << QByteArray() << key << "<MD5>{md5}</MD5>"
            << ""
            << "NO DIGEST      \"tool.exe\" (installations would install it unchecked)";
    }

    void verifyFinds()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, key);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, line);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
        const ManifestSummary manifest = summaryOf(release + "/update.xml");
        const auto listed = [&](QString text) {
            return text.replace("{md5}", manifest.digests.value(name))
                .replace("{signature}", manifest.signatures.value(name))
                .replace("{sha256Signature}", manifest.sha256Signatures.value(name));
        };
        if (!from.isEmpty())
            writeFile(release + "/update.xml",
                      manifestTextIn(release).replace(listed(from), listed(to)).toUtf8());
        if (!content.isNull() && content.isEmpty())
            QVERIFY(QFile::remove(release + "/" + name));
        else if (!content.isNull())
            writeFile(release + "/" + name, content);
        const PublisherOutcome outcome = publish(verifyArguments(release, key));
        QVERIFY2(lineFor(outcome.out, name).startsWith(line), qPrintable(outcome.out));
        QCOMPARE(outcome.status, int(PublisherRefused));
        QVERIFY2(outcome.out.contains(" failed;") && !outcome.out.contains(" 0 failed;"),
                 qPrintable(outcome.out));
    }

    void verifyFlagsManifestHeader_data()
    {
        const QString version = "<Version>1.0.0</Version>\n    <Files>";
        const QString few = "\": it has fewer than three numeric components";
        textTable(
            {"from", "to", "reason"},
            {{"short version", version, "<Version>1.0</Version>\n    <Files>",
              "Version \"1.0" + few},
             {"server with a trailing slash", "corvantile</UpdateServer>",
              "corvantile/</UpdateServer>", "UpdateServer \"" + server + "/\": it ends in \"/\""}});
    }

    void verifyFlagsManifestHeader()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
        QString manifestText = manifestTextIn(release);
        QVERIFY(manifestText.contains(from));
        writeFile(release + "/update.xml", manifestText.replace(from, to).toUtf8());
        const PublisherOutcome outcome = publish(verifyArguments(release));
        QCOMPARE(outcome.status, int(PublisherRefused));
        QVERIFY2(outcome.err.startsWith(tool + release + "/update.xml: " + reason),
                 qPrintable(outcome.err));
        // The files themselves are still checked and reported.
        QVERIFY2(outcome.out.endsWith("4 listed: 4 ok, 0 failed; 0 not listed\n"),
                 qPrintable(outcome.out));
    }

    void verifyRefuses_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("withManifest");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("reason");
        QTest::newRow("private key")
            << privateKey() << true << privateKey()
            << "it holds a private key; verify takes the public key the updater embeds";
        QTest::newRow("elliptic curve key") << "KEYDIR/ec.pem" << true << "KEYDIR/ec.pem"
                                            << "it holds a key of type EC, not a plain RSA key";
        QTest::newRow("no manifest") << publicKey() << false << "RELEASE/update.xml"
                                     << "cannot read it: ";
    }

    void verifyRefuses()
    {
        QFETCH(QString, key);
        QFETCH(bool, withManifest);
        QFETCH(QString, subject);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString release = releaseIn(root);
        if (withManifest)
            QCOMPARE(publish(makeArguments(release)).status, int(PublisherSuccess));
        PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        writeFile(root.filePath("ec.pem"), publicKeyPemOf(ellipticCurve.get()));
        key.replace("KEYDIR", root.path());
        subject.replace("KEYDIR", root.path()).replace("RELEASE", release);
        const PublisherOutcome outcome = publish(verifyArguments(release, key));
        QCOMPARE(outcome.status, int(PublisherRefused));
        QVERIFY2(outcome.err.startsWith(tool + subject + ": " + reason), qPrintable(outcome.err));
        QVERIFY(outcome.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
