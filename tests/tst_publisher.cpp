// The publisher's tool, run in-process: every refusal, the manifest `make` writes and its
// warnings, and what `verify` finds in a published folder.
#include "tests/testsupport.h"
#include "tools/releasedigests.h"
#include "tools/releasesigner.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <functional>
#include <utility>

// Prepares a row's scratch folder (its argument); the release is its folder "r".
using Setup = std::function<void(const QString &root)>;
Q_DECLARE_METATYPE(Setup)

namespace {

const QString server = QStringLiteral("https://127.0.0.1:8080/corvantile");
const QString tool = QStringLiteral("corvantile-publish: ");
const QString devKey = testDataPath("keys/dev_private.pem");
const QString devPublic = testDataPath("keys/dev_public.pem");
const QString wallet = QString::fromUtf8("数据/钱包.dat");
const QByteArray toolBytes("MZ\x90\x00\x03\x00\r\x00", 8);
// Binary, CR LF text, a 0x1A as the last byte (nothing uncovered), a name outside Latin-1.
const QMap<QString, QByteArray> release{{"r/tool.exe", toolBytes},
                                        {"r/text/readme.txt", "line one\r\nline two\r\n"},
                                        {"r/data/eof.bin", "before\x1a"},
                                        {"r/" + wallet, "wallet"}};

Setup files(const QMap<QString, QByteArray> &written)
{
    return [written](const QString &root) {
        for (auto it = written.begin(); it != written.end(); ++it)
            writeFile(root + "/" + it.key(), it.value());
    };
}

// The standard release, and more files below the scratch folder.
Setup filled(QMap<QString, QByteArray> more = {})
{
    more.insert(release);
    return files(more);
}

// The standard release made, then files written or, where null, removed.
Setup made(const QMap<QString, QByteArray> &changes = {})
{
    return [changes](const QString &root) {
        files(release)(root);
        QCOMPARE(publish({"make", "--release", root + "/r", "--server", server, "--version",
                          "1.0.0", "--key", devKey})
                     .status,
                 0);
        for (auto it = changes.begin(); it != changes.end(); ++it)
            it->isNull() ? void(QFile::remove(root + "/" + it.key()))
                         : writeFile(root + "/" + it.key(), it.value());
    };
}

// The standard release made, then `from` replaced by `to` in its manifest.
Setup edited(const QString &from, const QString &to)
{
    return [=](const QString &root) {
        made()(root);
        const QString text = QString::fromUtf8(readFile(root + "/r/update.xml"));
        QVERIFY(text.contains(from));
        writeFile(root + "/r/update.xml", QString(text).replace(from, to).toUtf8());
    };
}

// make's arguments; ROOT stands for the row's scratch folder.
QString make(const QString &version = "1.0.0", const QString &url = server,
             const QString &key = devKey)
{
    return QString("make --release ROOT/r --server %1 --version %2 --key %3")
        .arg(url, version, key);
}

QByteArray pemOf(EVP_PKEY *key, const EVP_CIPHER *cipher = nullptr)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    char *data = nullptr;
    PEM_write_bio_PrivateKey(bio.get(), key, cipher,
                             reinterpret_cast<const unsigned char *>("secret"), 6, nullptr,
                             nullptr);
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<int>(size));
}

// The manifest `make` is to write for `names` in `dir` (in the order given, at `version` unless
// "name=version"): digests from the reference, signatures from the test's own signer.
QByteArray expectedManifest(const QString &dir, const QString &version, const QStringList &names,
                            const QString &key = devKey)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n    <UpdateServer>" +
                  server + "</UpdateServer>\n    <Version>" + version + "</Version>\n    <Files>\n";
    for (const QString &entry : names) {
        const QString name = entry.section('=', 0, 0);
        const QByteArray bytes = readFile(dir + "/" + name);
        const QString md5 = textModeMd5Of(bytes), sha256 = sha256Of(bytes);
        xml += QString("        <File>\n            <Name>%1</Name>\n            <Version>%2"
                       "</Version>\n            <MD5>%3</MD5>\n            <Signature>%4"
                       "</Signature>\n            <SHA256>%5</SHA256>\n            "
                       "<SHA256Signature>%6</SHA256Signature>\n        </File>\n")
                   .arg(name.toHtmlEscaped(), entry.contains('=') ? entry.section('=', 1) : version,
                        md5, signDigest(md5, key), sha256, signDigest(sha256, key));
    }
    return (xml + "    </Files>\n</Update>\n").toUtf8();
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    const QString root = QFileInfo(scratch.path()).canonicalFilePath();
    int folders = 0;
    // An empty folder of its own for a table row.
    QString fresh()
    {
        const QString dir = root + "/row" + QString::number(++folders);
        QDir().mkpath(dir);
        return dir;
    }

private slots:
    void refusals_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        const Setup none = [](const QString &) {
        };
        const QString verify = "verify --release r --key k", p = "corvantile-publish";
        const auto usage = [&](const char *row, const QString &arguments, const QString &line) {
            QTest::newRow(row) << arguments << none << int(PublisherUsageError) << p + line;
        };
        usage("no command", "", ": no command given");
        usage("unknown command", "publish", ": unknown command \"publish\"");
        usage("unknown option", verify + " --force", " verify: unknown option --force");
        usage("value missing at the end", "verify --key k --release",
              " verify: --release needs a value");
        usage("option for a value", "verify --release --key k", " verify: --release needs a value");
        usage("empty value", "verify --release= --key k",
              " verify: --release needs a value, not empty text");
        usage("option twice", verify + " --key k2", " verify: --key is given twice");
        usage("stray argument", verify + " extra", " verify: unexpected argument \"extra\"");
        usage("verify without key", "verify --release r", " verify: missing --key");
        usage("verify without folder or address", "verify --key k",
              " verify: missing --release or --url");
        usage("make without anything", "make", " make: missing --release");
        usage("value given to a flag", "make --allow-unchanged=yes",
              " make: --allow-unchanged takes no value");
        QTest::newRow("help") << "--help" << none << 0 << "Usage: " + p + " COMMAND [OPTIONS]";
        QTest::newRow("help wins over other options")
            << "make --release r --bogus --help" << none << 0 << "Usage: " + p + " make --release";

        const auto refused = [&](const char *row, const QString &arguments, const Setup &setup,
                                 const QString &line) {
            QTest::newRow(row) << arguments << setup << int(PublisherRefused) << tool + line;
        };
        const QString notDecimal = "--version %1: its component \"%2\" is not a decimal number";
        refused("two version components", make("1.2"), filled(),
                "--version 1.2: it has fewer than three numeric components");
        refused("version suffix", make("1.2.3-beta"), filled(),
                notDecimal.arg("1.2.3-beta", "3-beta"));
        refused("beyond the integer range", make("1.2.99999999999"), filled(),
                notDecimal.arg("1.2.99999999999", "99999999999"));
        refused("version not newer", make("1.2.3") + " --previous ROOT/old.xml",
                filled({{"old.xml", "<Update><Version>1.2.3</Version><Files/></Update>"}}),
                "--version 1.2.3: it is not newer than \"1.2.3\", the version of ROOT/old.xml");
        const QString notAbsolute = ": it is not an absolute http:// or https:// address";
        for (const char *url : {"127.0.0.1/app", "ftp://127.0.0.1/app", "http:///app"})
            refused(url, make("1.0.0", url), filled(), QString("--server ") + url + notAbsolute);
        refused("trailing slash", make("1.0.0", "http://127.0.0.1/app/"), filled(),
                "--server http://127.0.0.1/app/: it ends in \"/\"; installations append "
                "\"/update.xml\" themselves");
        refused(
            "query", make("1.0.0", "http://127.0.0.1/app?b"), filled(),
            "--server http://127.0.0.1/app?b: installations append \"/update.xml\" to it, which "
            "a query or fragment would swallow");

        const QList<std::pair<QString, QString>> names{
            {"bin\\tool.dll", "it contains a backslash, which the updater reads as a folder "
                              "separator"},
            {"two\nlines.txt", "it contains the control character U+000A, which Windows does not "
                               "allow in file names"},
            {"sub/NUL/x.dat", "its component \"NUL\" is a Windows device name"},
            {"bin./a.dll", "its component \"bin.\" ends in a dot, which Windows drops"},
            {"issue#7.txt", "it contains '#', which would end the download address (a URL "
                            "fragment)"},
            {"a%41.txt", "\"%41\" in it would be read as a percent escape in the download address"},
            {"a:b.txt", "it contains a colon: Windows reads \"a:\" as a drive, and allows no colon "
                        "in file names"},
            {"Update.XML", "it is the installation's own manifest"}};
        for (const auto &[name, reason] : names)
            refused(qPrintable(name), make(), files({{"r/" + name, "x"}}),
                    "ROOT/r/" + name + ": " + reason);
        refused("names that differ only in case", make(),
                files({{"r/bin/Tool.dll", "1"}, {"r/bin/tool.dll", "2"}}),
                "ROOT/r/bin/tool.dll: it differs from \"bin/Tool.dll\" only in case, and Windows "
                "does not tell the two apart");
        const auto link = [](const QString &target) -> Setup {
            return [target](const QString &root) {
                files({{"r/a.dll", "a"}, {"r/folder/b.dll", "b"}, {"outside.txt", "o"}})(root);
                QVERIFY(QFile::link(target, root + "/r/link"));
            };
        };
        refused(
            "link to a file outside", make(), link("../outside.txt"),
            "ROOT/r/link: it is a symbolic link to ROOT/outside.txt, outside the release folder");
        refused(
            "link to a folder inside", make(), link("folder"),
            "ROOT/r/link: it is a symbolic link to a folder; only links to files are published");
        refused("link to nothing", make(), link("gone.txt"),
                "ROOT/r/link: it is a symbolic link to ROOT/r/gone.txt, which does not exist");

        const auto key = [&](const char *row, const QByteArray &pem, const QString &reason) {
            refused(row, make("1.0.0", server, "ROOT/key.pem"),
                    pem.isNull() ? filled() : filled({{"key.pem", pem}}),
                    "ROOT/key.pem: " + reason);
        };
        PkeyPointer ellipticCurve(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        key("no key file", QByteArray(), "cannot read it: ");
        key("not PEM", "this is no key\n", "it holds no readable PEM private key (");
        key("public key", readFile(devPublic),
            "it holds a public key; signing needs the private key");
        key("elliptic curve key", pemOf(ellipticCurve.get()),
            "it holds a key of type EC, not a plain RSA key");
        key("key protected by a passphrase",
            pemOf(readPrivateKeyFile(devKey).get(), EVP_aes_128_cbc()),
            "the key is protected by a passphrase, which this tool does not ask for");

        const QString previous = make("1.1.0") + " --previous ROOT/old.xml";
        refused("no release folder", make(), none, "ROOT/r: no such folder");
        refused("no previous manifest", previous, filled(), "ROOT/old.xml: cannot read it: ");
        refused("previous manifest is not XML", previous,
                filled({{"old.xml", "<Update><Version>1.0.0</Version>"}}),
                "ROOT/old.xml: not a well-formed XML manifest (line ");
        refused(
            "nothing changed since the previous release", previous,
            [](const QString &root) {
                files(release)(root);
                QVERIFY(
                    publish(
                        QString(make() + " --output ROOT/old.xml").replace("ROOT", root).split(' '))
                        .status == PublisherSuccess);
            },
            "ROOT/r: nothing is new, changed or dropped since 1.0.0 (ROOT/old.xml), so "
            "installations would fetch nothing; give --allow-unchanged to publish it all the "
            "same");
    }

    void refusals()
    {
        QFETCH(QString, arguments);
        QFETCH(Setup, setup);
        QFETCH(int, status);
        QFETCH(QString, line);
        const QString root = fresh();
        setup(root);
        const QMap<QString, QByteArray> before = filesBelow(root);
        const PublisherOutcome outcome =
            publish(arguments.replace("ROOT", root).split(' ', Qt::SkipEmptyParts));
        QCOMPARE(outcome.status, status);
        const QString &shown = status == PublisherSuccess ? outcome.out : outcome.err;
        QVERIFY2(shown.startsWith(line.replace("ROOT", root)), qPrintable(shown));
        QCOMPARE(outcome.err.count("corvantile-publish"), status); // one message; usage: and a hint
        QVERIFY(status != PublisherUsageError || outcome.err.endsWith(" --help\".\n"));
        QVERIFY((status == PublisherSuccess ? outcome.err : outcome.out).isEmpty());
        QCOMPARE(filesBelow(root), before);
    }

    // A file that changes while it is read has no digest: what came is not the file.
    void refusesFileItCannotReadWhole()
    {
        writeFile(root + "/sound.dll", "sound");
        ReleaseSigner signer;
        QString error;
        QVERIFY(signer.load(devKey, &error));
        const auto digests = digestAndSign({root + "/sound.dll", root + "/gone.dll"}, signer);
        QCOMPARE(QString::fromStdString(digests.at(0).file.md5), md5Of("sound"));
        QCOMPARE(digests.at(1).error, "cannot read it: No such file or directory");
        QVERIFY(digests.at(1).file.md5.empty() && digests.at(1).signature.isEmpty());
        for (const qint64 change : {+10, -100000}) {
            writeFile(root + "/moving.dll", QByteArray(300000, 'm'));
            QFile file(root + "/moving.dll");
            bool changed = false;
            FileDigest digest;
            QVERIFY(!digestFile(file.fileName(), &digest, &error, [&](std::size_t) {
                if (!std::exchange(changed, true))
                    QVERIFY(file.resize(300000 + change));
            }));
            QCOMPARE(error, QString("cannot read it whole: %1 of 300000 bytes came; it changed "
                                    "while it was read, or reading failed")
                                .arg(300000 + change));
            QVERIFY(digest.md5.empty());
        }
    }

    void makeWritesTheManifest()
    {
        const QString r = root + "/make";
        files({{"make/tool.exe", toolBytes},
               {"make/text/readme.txt", "line one\r\nline two\r\n"},
               {"make/data/eof.bin", "before\x1a"},
               {"make/" + wallet, "wallet"},
               {"make/B&B.txt", "abc"},
               {"make/Z.txt", "Z"},
               {"make/a-b.txt", "a-b"},
               {"make/a/b.txt", "a/b"},
               {QString::fromUtf8("make/ä.txt"), "ä"},
               // Names near the rules, which must be published.
               {"make/COM10", "port"},
               {"make/100%.txt", "100"},
               {"make/%zz.txt", "zz"},
               {"make/docs/update.xml", "<Update/>"},
               {QString::fromUtf8("make/😀.txt"), "e"},
               // Left out: the manifest there, the output, and a staging file of the updater.
               {"make/update.xml", "an old manifest"},
               {"make/manifest.xml", "old output"},
               {"make/tool.exe.update", "a download that never finished"}})(root);
        // A link to a file inside the release is published as the file it points to.
        QVERIFY(QFile::link("../text/readme.txt", r + "/a/readme.txt"));
        const PublisherOutcome outcome =
            publish(make().replace("ROOT/r", r).split(' ') << "--output" << r + "/manifest.xml");
        QCOMPARE(outcome.err, tool + "note: left out " + r +
                                  "/tool.exe.update: a staging file of the updater\n");
        QCOMPARE(outcome.out, r + "/manifest.xml: version 1.0.0, 15 files\n");
        // In UTF-16 code units, capitals first.
        QCOMPARE(readFile(r + "/manifest.xml"),
                 expectedManifest(r, "1.0.0",
                                  {"%zz.txt", "100%.txt", "B&B.txt", "COM10", "Z.txt", "a-b.txt",
                                   "a/b.txt", "a/readme.txt", "data/eof.bin", "docs/update.xml",
                                   "text/readme.txt", "tool.exe", QString::fromUtf8("ä.txt"),
                                   wallet, QString::fromUtf8("😀.txt")}));
        QCOMPARE(readFile(r + "/update.xml"), QByteArray("an old manifest"));
    }

    // A file keeps the version its last change gave it; its SHA-256 decides, as the MD5 misses
    // CR LF in place of LF and bytes after the first 0x1A.
    void previousReleaseKeepsVersionsOfUnchangedFiles()
    {
        const QString r = root + "/previous";
        const auto run = [&](const QString &version, const QString &more) {
            return publish((make(version).replace("ROOT/r", r) + more).split(' '));
        };
        files({{"previous/same.dll", "same"},
               {"previous/config.txt", "a=1\n"},
               {"previous/plugin.dll", "plugin 1"},
               {"previous/dropped.txt", "only in 1.0.0"},
               {"previous/marked.dll", "MZ\x1a code 1"}})(root);
        QCOMPARE(run("1.0.0", " --output " + root + "/1.0.0.xml").status, 0);
        files({{"previous/plugin.dll", "plugin 2"}, {"previous/sub/added.txt", "new"}})(root);
        QVERIFY(QFile::remove(r + "/dropped.txt"));
        const PublisherOutcome second =
            run("1.1.0", " --previous " + root + "/1.0.0.xml --output " + root + "/1.1.0.xml");
        QCOMPARE(second.out, "changed  plugin.dll\nnew      sub/added.txt\ndropped  dropped.txt\n"
                             "1 new, 1 changed, 3 unchanged, 1 dropped since 1.0.0\n" +
                                 root + "/1.1.0.xml: version 1.1.0, 5 files\n");
        QCOMPARE(readFile(root + "/1.1.0.xml"),
                 expectedManifest(r, "1.1.0",
                                  {"config.txt=1.0.0", "marked.dll=1.0.0", "plugin.dll",
                                   "same.dll=1.0.0", "sub/added.txt"}));
        files({{"previous/config.txt", "a=1\r\n"},
               {"previous/marked.dll", "MZ\x1a code 2"},
               {"previous/same.dll", "changed at last"}})(root);
        QCOMPARE(run("1.2.0", " --previous " + root + "/1.1.0.xml").status, 0);
        const QStringList versions{"config.txt=1.2.0", "marked.dll=1.2.0", "plugin.dll=1.1.0",
                                   "same.dll=1.2.0", "sub/added.txt=1.1.0"};
        QCOMPARE(readFile(r + "/update.xml"), expectedManifest(r, "1.2.0", versions));
        // Signatures are taken over only where they open with the key that signs now.
        const QString other = testDataPath("keys/other_private.pem");
        const PublisherOutcome rekeyed = publish(QStringList{
            "make", "--release", r, "--server", server, "--version", "1.3.0", "--key", other,
            "--previous", r + "/update.xml", "--output", root + "/1.3.0.xml", "--allow-unchanged"});
        QVERIFY(rekeyed.out.startsWith("0 new, 0 changed, 5 unchanged, 0 dropped since 1.2.0\n"));
        QCOMPARE(readFile(root + "/1.3.0.xml"), expectedManifest(r, "1.3.0", versions, other));
    }

    void progressOnlyWhenAsked()
    {
        // Counted in bytes to the end, past the 0x1A where the digest stops; "1 file".
        writeFile(root + "/big/big.dll",
                  QByteArray(1 << 20, 'a') + "\x1a" + QByteArray(2 * (1 << 20) - 1, 'b'));
        const QStringList arguments = make().replace("ROOT/r", root + "/big").split(' ');
        const PublisherOutcome quiet = publish(arguments);
        const PublisherOutcome shown = publish(arguments, PublisherProgress::Shown);
        QVERIFY(!quiet.err.contains("hashing"));
        QVERIFY(shown.err.startsWith("\rhashing and signing: "));
        QVERIFY(shown.err.contains("\rhashing and signing: 1 of 1 file, 3.0 of 3.0 MiB\n"));
        QCOMPARE(shown.out, quiet.out);
        QCOMPARE(quiet.out, root + "/big/update.xml: version 1.0.0, 1 file\n");
    }

    void warnsOfBytesAfterTheEndOfFileMark_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("covered"); // -1: every byte is
        QTest::addColumn<QString>("address");
        QTest::newRow("0x1A before the end") << QByteArray("MZ\x1a code after") << 2 << server;
        QTest::newRow("0x1A first") << QByteArray("\x1a\x00\x01", 3) << 0 << server;
        const QByteArray head(200 * 1024 + 7, 'x');
        QTest::newRow("0x1A past the first reads")
            << head + "\x1a" + QByteArray(70 * 1024, 'y') << head.size() << server;
        QTest::newRow("0x1A as the last byte") << QByteArray("text\x1a") << -1 << server;
        // Plain HTTP is not refused (loopback and intranet servers exist), but both commands
        // say what it leaves open.
        QTest::newRow("plain http") << QByteArray("z") << -1 << "http://127.0.0.1:8080/corvantile";
    }

    void warnsOfBytesAfterTheEndOfFileMark()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, covered);
        QFETCH(QString, address);
        const QString r = fresh();
        writeFile(r + "/bin/file.dll", content);
        const PublisherOutcome made =
            publish(make("1.0.0", address).replace("ROOT/r", r).split(' '));
        const QString warning =
            covered < 0
                ? QString()
                : tool + QString("warning: bin/file.dll: only the first %1 of %2 bytes are "
                                 "covered by its MD5 digest and signature (a 0x1A byte ends "
                                 "the text-mode digest); its SHA256 digest and signature "
                                 "cover every byte for updaters that check them\n")
                             .arg(covered)
                             .arg(content.size());
        const QString plain = address == server
                                  ? QString()
                                  : ": installations will fetch the release over plain HTTP, "
                                    "where anyone on the way can change the manifest and what "
                                    "the digests do not cover; serve it over https://\n";
        QCOMPARE(made.err,
                 (warning.isEmpty() ? QString()
                                    : warning + tool +
                                          "hint: installations whose updater predates SHA256 "
                                          "cannot tell if those bytes were changed on the way; "
                                          "serve the release over HTTPS so that nobody between "
                                          "the server and them can change them\n") +
                     (plain.isEmpty() ? QString() : tool + "warning: --server " + address + plain));
        QVERIFY(readFile(r + "/update.xml").contains("<MD5>" + textModeMd5Of(content).toUtf8()));
        // verify says the same of the file, and passes it: installations accept it too.
        const PublisherOutcome verified = publish({"verify", "--release", r, "--key", devPublic});
        QCOMPARE(verified.status, 0);
        QCOMPARE(verified.err,
                 (plain.isEmpty() ? QString()
                                  : tool + "warning: " + r + "/update.xml: UpdateServer \"" +
                                        address + "\"" + plain) +
                     warning);
        QVERIFY(verified.out.contains("ok             \"bin/file.dll\"\n"));
    }

    void verifyFinds_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out"); // a line it holds, or empty: nothing
        QTest::addColumn<QString>("err"); // how it starts, or empty: nothing
        const QString md5 = textModeMd5Of(toolBytes), sha256 = sha256Of(toolBytes);
        const QString header = "ROOT/r/update.xml: ";
        const auto finding = [&](const char *row, const Setup &setup, const QString &line,
                                 const QString &key = devPublic) {
            QTest::newRow(row) << setup << key << 1 << line << QString();
        };
        QTest::newRow("all ok; files added since are reported, staging files are not")
            << made({{"r/later/added.dll", "added"}, {"r/tool.exe.update", "staging"}}) << devPublic
            << 0
            << "ROOT/r/update.xml: version 1.0.0, server " + server +
                   "\nok             \"data/eof.bin\"\nok             \"text/readme.txt\"\n"
                   "ok             \"tool.exe\"\nok             \"" +
                   wallet +
                   "\"\nNOT LISTED     \"later/added.dll\"\n4 listed: 4 ok, 0 failed; 1 not "
                   "listed\n"
            << QString();
        finding("altered file", made({{"r/tool.exe", "MZ tampered"}}),
                "MD5 MISMATCH   \"tool.exe\" (listed " + md5 + ", file " +
                    textModeMd5Of("MZ tampered") + ")\n");
        // The warning of bytes after the 0x1A comes too; the check does not fail for it.
        QTest::newRow("byte after 0x1A changed")
            << made({{"r/data/eof.bin", "before\x1a else"}}) << devPublic << 1
            << "SHA256 MISMATCH \"data/eof.bin\" (listed " + sha256Of("before\x1a") + ", file " +
                   sha256Of("before\x1a else") + ")\n"
            << "warning: data/eof.bin: only the first 6 of 12 bytes are covered";
        finding("SHA-256 signature over the MD5 text",
                edited("<SHA256Signature>" + signDigest(sha256, devKey),
                       "<SHA256Signature>" + signDigest(md5, devKey)),
                "BAD SHA256 SIGNATURE \"tool.exe\" (it does not open to the listed SHA256 with "
                "this key)\n");
        finding("missing file", made({{"r/text/readme.txt", QByteArray()}}),
                "MISSING        \"text/readme.txt\"\n");
        finding("wrong key", made(),
                "BAD SIGNATURE  \"tool.exe\" (it does not open to the listed digest with this "
                "key)\n",
                testDataPath("keys/other_public.pem"));
        finding("unsafe name", edited("<Name>tool.exe", "<Name>../tool.exe"),
                "UNSAFE NAME    \"../tool.exe\" (its component \"..\" walks the folder tree)\n");
        finding("backslash in a name", edited("<Name>tool.exe", "<Name>bin\\tool.exe"),
                "UNSAFE NAME    \"bin\\tool.exe\" (it contains a backslash, which the updater "
                "reads as a folder separator)\n");
        finding("digest removed", edited("<MD5>" + md5 + "</MD5>", ""),
                "NO DIGEST      \"tool.exe\" (installations would install it unchecked)\n");
        // A bad header fails the check; the files are still checked and reported.
        const QString fourOk = "4 listed: 4 ok, 0 failed; 0 not listed\n";
        QTest::newRow("short version")
            << edited("<Version>1.0.0", "<Version>1.0") << devPublic << 1 << fourOk
            << header + "Version \"1.0\": it has fewer than three numeric components";
        QTest::newRow("server with a trailing slash")
            << edited("corvantile</", "corvantile/</") << devPublic << 1 << fourOk
            << header + "UpdateServer \"" + server + "/\": it ends in \"/\"";
        QTest::newRow("private key")
            << made() << devKey << 1 << QString()
            << devKey + ": it holds a private key; verify takes the public key the updater embeds";
        QTest::newRow("elliptic curve key")
            << made({{"ec.pem",
                      publicKeyPemOf(
                          PkeyPointer(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")).get())}})
            << "ROOT/ec.pem" << 1 << QString()
            << "ROOT/ec.pem: it holds a key of type EC, not a plain RSA key";
        QTest::newRow("no manifest")
            << files(release) << devPublic << 1 << QString() << header + "cannot read it: ";
    }

    void verifyFinds()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, key);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QString root = fresh();
        setup(root);
        StandardOutputCapture capture;
        const PublisherOutcome outcome =
            publish({"verify", "--release", root + "/r", "--key", key.replace("ROOT", root)});
        QCOMPARE(outcome.status, status);
        QVERIFY2(out.isEmpty() ? outcome.out.isEmpty()
                               : outcome.out.contains(out.replace("ROOT", root)),
                 qPrintable(outcome.out));
        QVERIFY2(err.isEmpty() ? outcome.err.isEmpty()
                               : outcome.err.startsWith(tool + err.replace("ROOT", root)),
                 qPrintable(outcome.err));
        // The updater's diagnostics on standard output are not the tool's to repeat.
        QCOMPARE(capture.captured(), QString());
    }
};

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
