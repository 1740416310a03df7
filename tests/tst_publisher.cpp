// The publisher's tool in-process: its refusals, the manifests it makes, what verify finds.
#include "tests/testsupport.h"
#include "tools/releasedigests.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/pem.h>

// Prepares a row's empty folder ROOT; the release is ROOT/r.
using Setup = std::function<void(const QString &root)>;
Q_DECLARE_METATYPE(Setup)

namespace {

const QString server = "https://127.0.0.1:8080/corvantile", tool = "corvantile-publish: ";
const QString devKey = testDataPath("keys/dev_private.pem");
const QString devPublic = testDataPath("keys/dev_public.pem");
const QString otherPublic = testDataPath("keys/other_public.pem");
// Binary, CR LF text, a 0x1A as the last byte (nothing left uncovered), a name beyond Latin-1.
const QList<QByteArray> release{"r/tool.exe",     "MZ\x90\r",   "r/text/readme.txt", "a\r\nb\r\n",
                                "r/data/eof.bin", "before\x1a", "r/数据/钱包.dat",   "wallet"};

const auto make = [](const QString &version = "1.0.0", const QString &url = server,
                     const QString &key = devKey) {
    return QString("make --release ROOT/r --server %1 --version %2 --key %3")
        .arg(url, version, key);
};
const auto run = [](const QString &arguments, const QString &root,
                    PublisherProgress progress = PublisherProgress::Quiet) {
    return publish(QString(arguments).replace("ROOT", root).split(' ', Qt::SkipEmptyParts),
                   progress);
};

// Writes files below ROOT (null: removes), after making the standard release where `made`; then
// replaces in ROOT/r/update.xml each text of `edits` at an even place by the one after it.
Setup files(const QList<QByteArray> &written, bool made = false, const QStringList &edits = {})
{
    return [=](const QString &root) {
        if (made)
            files(release)(root);
        QVERIFY(!made || run(make(), root).status == PublisherSuccess);
        for (int i = 0; i < written.size(); i += 2) {
            const QString path = root + "/" + QString::fromUtf8(written[i]);
            written[i + 1].isNull() ? void(QFile::remove(path)) : writeFile(path, written[i + 1]);
        }
        QString manifest = QString::fromUtf8(readFile(root + "/r/update.xml"));
        for (int i = 0; i < edits.size(); i += 2) {
            QVERIFY(manifest.contains(edits[i]));
            writeFile(root + "/r/update.xml", manifest.replace(edits[i], edits[i + 1]).toUtf8());
        }
    };
}

// The manifest `make` is to write for the files of `dir` at their `versions`: digests from the
// reference, signatures from the test's own signer.
QByteArray expected(const QString &dir, const QString &version,
                    const QMap<QString, QString> &versions, const QString &key = devKey,
                    const QString &url = server)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n    <UpdateServer>" + url +
                  "</UpdateServer>\n    <Version>" + version + "</Version>\n    <Files>\n";
    for (auto file = versions.begin(); file != versions.end(); ++file) {
        const QByteArray bytes = readFile(dir + "/" + file.key());
        const QString md5 = textModeMd5Of(bytes), sha256 = sha256Of(bytes), in = "\n            ";
        xml += QString("        <File>%7<Name>%1</Name>%7<Version>%2</Version>%7<MD5>%3</MD5>%7"
                       "<Signature>%4</Signature>%7<SHA256>%5</SHA256>%7<SHA256Signature>%6"
                       "</SHA256Signature>\n        </File>\n")
                   .arg(file.key().toHtmlEscaped(), file.value(), md5, signDigest(md5, key), sha256,
                        signDigest(sha256, key), in);
    }
    return (xml + "    </Files>\n</Update>\n").toUtf8();
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    const QString base = QFileInfo(scratch.path()).canonicalFilePath();
    int folders = 0;
    QString fresh() { return base + "/" + QString::number(++folders); }

private slots:
    // Every refusal and every finding of verify on a folder (the live ones: tst_publishroundtrip).
    void runs_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("err"); // how each of its lines starts
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("out"); // what it holds; none: nothing
        const auto row = [](const char *tag, const QString &arguments, int status, QStringList err,
                            const Setup &setup = files(release), const QStringList &out = {}) {
            for (QString &line : err)
                line.prepend(status == 2 ? "corvantile-publish" : tool);
            QTest::newRow(tag) << arguments << status << err << setup << out;
        };
        const QString v = "verify --release r --key k";
        row("no command", "", 2, {": no command given"});
        row("unknown command", "publish", 2, {": unknown command \"publish\""});
        row("unknown option", v + " --force", 2, {" verify: unknown option --force"});
        for (const QString arguments : {"verify --key k --release", "verify --release --key k"})
            row(qPrintable(arguments), arguments, 2, {" verify: --release needs a value\n"});
        row("empty", "verify --release= --key k", 2, {" verify: --release needs a value, not"});
        row("option twice", v + " --key k2", 2, {" verify: --key is given twice"});
        row("stray argument", v + " x", 2, {" verify: unexpected argument \"x\""});
        row("verify without key", "verify --release r", 2, {" verify: missing --key"});
        row("make without anything", "make", 2, {" make: missing --release"});
        row("flag value", "make --allow-unchanged=1", 2, {" make: --allow-unchanged takes no"});
        row("help", "--help", 0, {}, {}, {"Usage: corvantile-publish COMMAND"});
        row("help wins", "make --release r --bogus --help", 0, {}, {},
            {"Usage: corvantile-publish make "});

        const QString decimal = "--version %1: its component \"%2\" is not a decimal";
        row("two version components", make("1.2"), 1, {"--version 1.2: it has fewer than"});
        row("version suffix", make("1.2.3-b"), 1, {decimal.arg("1.2.3-b", "3-b")});
        row("beyond the int range", make("1.2.9999999999"), 1,
            {decimal.arg("1.2.9999999999", "9999999999")});
        row("version not newer", make("1.2.3") + " --previous ROOT/o", 1,
            {"--version 1.2.3: it is not newer than \"1.2.3\", the version of ROOT/o"},
            files(release + QList<QByteArray>{"o", "<Update><Version>1.2.3</Version></Update>"}));
        for (const QString url : {"127.0.0.1/a", "ftp://127.0.0.1/a", "http:///a"})
            row(qPrintable(url), make("1.0.0", url), 1, {"--server " + url + ": it is not an"});
        row("trailing slash", make("1.0.0", "http://h/a/"), 1, {"--server http://h/a/: it ends"});
        for (const QString url : {"http://h/a?b", "http://h/a#b"})
            row(qPrintable(url), make("1.0.0", url), 1, {"--server " + url + ": installations"});

        // The publisher's own name rules (the updater's: tst_units) and links, said at once.
        row("unsafe names and links", make(), 1,
            {"ROOT/r/a%41: \"%41\" in it would be read as a percent escape",
             "ROOT/r/a:b: it contains a colon: Windows reads \"a:\" as a drive",
             "ROOT/r/b\\a: it contains a backslash, which the updater reads as a folder",
             "ROOT/r/c#7: it contains '#', which would end the download address",
             "ROOT/r/gone: it is a symbolic link to ROOT/r/nothing, which does not exist",
             "ROOT/r/in: it is a symbolic link to a folder; only links to files",
             "ROOT/r/out: it is a symbolic link to ROOT/r2, outside the release",
             "ROOT/r/CON .txt: its component \"CON .txt\" is a Windows device name"},
            [](const QString &root) {
                files({"r/a%41", "", "r/a:b", "", "r/b\\a", "", "r/c#7", "", "r/d/e", "", "r2", "",
                       "r/CON .txt", ""})(root);
                for (const QString link : {"gone nothing", "in d", "out ../r2"})
                    QVERIFY(
                        QFile::link(link.section(' ', 1), root + "/r/" + link.section(' ', 0, 0)));
            });
        row("names that differ only in case", make(), 1,
            {"ROOT/r/b/tool: it differs from \"b/Tool\" only in case"},
            files({"r/b/Tool", "", "r/b/tool", ""}));

        const auto pem = [](EVP_PKEY *key, const EVP_CIPHER *cipher, bool pub = false) {
            BioPointer bio(BIO_new(BIO_s_mem()));
            pub ? PEM_write_bio_PUBKEY(bio.get(), key)
                : PEM_write_bio_PrivateKey(bio.get(), key, cipher, nullptr, 0, nullptr,
                                           const_cast<char *>("pass"));
            char *data = nullptr;
            const long size = BIO_get_mem_data(bio.get(), &data);
            return QByteArray(data, static_cast<int>(size));
        };
        const PkeyPointer ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        for (const auto &[content, reason] : QList<std::pair<QByteArray, QString>>{
                 {QByteArray(), "cannot read it: "},
                 {"no key\n", "it holds no readable PEM private key ("},
                 {readFile(devPublic), "it holds a public key; signing needs the private key"},
                 {pem(ec.get(), nullptr), "it holds a key of type EC, not a plain RSA key"},
                 {pem(readPrivateKeyFile(devKey).get(), EVP_aes_128_cbc()),
                  "the key is protected"}})
            row(qPrintable(reason), make("1.0.0", server, "ROOT/k"), 1, {"ROOT/k: " + reason},
                files(release + QList<QByteArray>{"k", content}));

        const QString previous = make("1.1.0") + " --previous ROOT/r/update.xml";
        row("no release folder", make(), 1, {"ROOT/r: no such folder"}, files({}));
        row("no previous manifest", previous, 1, {"ROOT/r/update.xml: cannot read it: "});
        row("previous manifest is not XML", previous, 1, {"ROOT/r/update.xml: not a well-formed"},
            files(release + QList<QByteArray>{"r/update.xml", "<Update>"}));
        row("nothing changed since", previous, 1,
            {"ROOT/r: nothing is new, changed or dropped since 1.0.0 (ROOT/r/update.xml), so "
             "installations would fetch nothing; give --allow-unchanged"},
            files({}, true));

        const QString verify = "verify --release ROOT/r --key ", dev = verify + devPublic;
        const QString md5 = textModeMd5Of("MZ\x90\r"), sha256 = sha256Of("MZ\x90\r");
        row("all ok; files added since or refused are reported, staging files are not", dev, 0, {},
            files({"r/later/added.dll", "added", "r/a:b", "", "r/tool.exe.update", ""}, true),
            {"ok             \"数据/钱包.dat\"\nNOT LISTED     \"a:b\"\nNOT LISTED     "
             "\"later/added.dll\"\n4 listed: 4 ok, 0 failed; 2 not listed\n"});
        row("every finding on a file", dev, 1, {},
            files({"r/text/readme.txt", {}}, true,
                  {signDigest(sha256, devKey), signDigest(md5, devKey),
                   "<MD5>" + textModeMd5Of("before\x1a") + "</MD5>", "", ">数据/", ">../"}),
            {"BAD SHA256 SIGNATURE \"tool.exe\"", "MISSING        \"text/readme.txt\"",
             "NO DIGEST      \"data/eof.bin\" (installations would install it unchecked)",
             "UNSAFE NAME    \"../钱包.dat\" (its component \"..\"", "4 listed: 0 ok, 4 failed"});
        row("names unsafe or differing only in case, a signature left out", dev, 1, {},
            files({}, true,
                  {">tool", ">b\\tool", ">data/eof.bin<", ">TEXT/readme.txt<",
                   "<Signature>" + signDigest(md5Of("wallet"), devKey) + "<", "<Signature><"}),
            {"UNSAFE NAME    \"b\\tool.exe\" (it contains a backslash",
             "UNSAFE NAME    \"text/readme.txt\" (it differs from \"TEXT/readme.txt\" only in case",
             "BAD SIGNATURE  \"数据/钱包.dat\" (none listed)"});
        // A bad header fails the check, and the files are still checked.
        row("short version", dev, 1, {"ROOT/r/update.xml: Version \"1.0\": it has fewer"},
            files({}, true, {"<Version>1.0.0", "<Version>1.0"}), {"4 listed: 4 ok, 0 failed"});
        row("server with a trailing slash", dev, 1,
            {"ROOT/r/update.xml: UpdateServer \"" + server + "/\": it ends"},
            files({}, true, {"corvantile</", "corvantile/</"}), {"4 listed: 4 ok, 0 failed"});
        row("verify given the private key", verify + devKey, 1,
            {devKey + ": it holds a private key; verify"}, files({}, true));
        row("verify given an elliptic curve key", verify + "ROOT/ec.pem", 1,
            {"ROOT/ec.pem: it holds a key of type EC, not"},
            files({"ec.pem", pem(ec.get(), nullptr, true)}, true));
        row("no manifest", dev, 1, {"ROOT/r/update.xml: cannot read it: "});
    }

    // Nothing written, nothing said but what is expected (the updater's diagnostics on std::cout
    // are not the tool's to repeat), usage errors with a hint.
    void runs()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QStringList, err);
        QFETCH(Setup, setup);
        QFETCH(QStringList, out);
        const QString root = fresh();
        if (setup)
            setup(root);
        const QMap<QString, QByteArray> before = filesBelow(root);
        StandardOutputCapture capture;
        const PublisherOutcome outcome = run(arguments, root);
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.err.count('\n'), err.size() + (status == PublisherUsageError));
        for (const QString &line : err)
            QVERIFY2(("\n" + outcome.err).contains("\n" + QString(line).replace("ROOT", root)),
                     qPrintable(outcome.err));
        QVERIFY(status != PublisherUsageError || outcome.err.endsWith(" --help\".\n"));
        QCOMPARE(outcome.out.isEmpty(), out.isEmpty());
        for (const QString &text : out)
            QVERIFY2(outcome.out.contains(text), qPrintable(outcome.out));
        QCOMPARE(filesBelow(root), before);
        QCOMPARE(capture.captured(), QString());
    }

    // What could not be read, or changed while it was read, has no digest.
    void refusesFileItCannotReadWhole()
    {
        const QString path = fresh() + "/f.dll",
                      whole = "cannot read it whole: %1 of 300000 bytes came";
        for (const int size : {-1, 300010, 200000}) {
            if (size > 0)
                writeFile(path, QByteArray(300000, 'm'));
            QFile file(path);
            FileDigest digest;
            QString error;
            QVERIFY(!digestFile(path, &digest, &error, [&](std::size_t) { file.resize(size); }));
            QCOMPARE(error.section(';', 0, 0),
                     size < 0 ? "cannot read it: No such file or directory" : whole.arg(size));
            QVERIFY(digest.md5.empty());
        }
    }

    // Names near the rules are published, capitals first; the manifest there, the output and
    // staging files are not; a link inside stands for its file. A file keeps a sound version while
    // its SHA-256 stays (the MD5 misses CR LF for LF and bytes after a 0x1A: both commands warn); a
    // signature is taken over only where it opens with the key in use. Plain HTTP is warned of.
    void makeWritesTheManifest()
    {
        const QString root = fresh(), r = root + "/r", http = "http://127.0.0.1/c";
        const QString other = testDataPath("keys/other_private.pem");
        files(release)(root);
        QMap<QString, QString> versions;
        for (const QString &name : QString("B&B Z a-b a/b ä COM10 100% %zz 😀 docs/update.xml "
                                           "update.xml manifest.xml tool.exe.update")
                                       .split(' '))
            writeFile(r + "/" + name, name.toUtf8());
        QVERIFY(QFile::link("../text/readme.txt", r + "/a/readme.txt"));
        PublisherOutcome made = run(make() + " --output ROOT/r/manifest.xml", root);
        QCOMPARE(made.err, tool + "note: left out " + r +
                               "/tool.exe.update: a staging file of the updater\n");
        QCOMPARE(made.out, r + "/manifest.xml: version 1.0.0, 15 files\n");
        for (const QString &name : filesBelow(r).keys())
            versions[name] = "1.0.0";
        for (const QString name : {"update.xml", "manifest.xml", "tool.exe.update"})
            versions.remove(name);
        QCOMPARE(readFile(r + "/manifest.xml"), expected(r, "1.0.0", versions));
        QCOMPARE(readFile(r + "/update.xml"), "update.xml");

        const QString warning = tool + "warning: %1: only the first %2 of %3 bytes are covered";
        files({"r/tool.exe", "MZ 2", "r/text/readme.txt", "a\nb\n", "r/data/eof.bin",
               "before\x1a 2", "r/Z", QByteArray(), "r/new", "\x1a new", "r/tool.exe.update",
               QByteArray()})(root);
        const QByteArray entry = "%zz</Name>\n            <Version>1.0";
        writeFile(r + "/manifest.xml", readFile(r + "/manifest.xml").replace(entry + ".0", entry));
        made = run(make("1.1.0") + " --previous ROOT/r/manifest.xml --output ROOT/r/manifest.xml",
                   root);
        QCOMPARE(made.out,
                 "changed  %zz\nchanged  a/readme.txt\nchanged  data/eof.bin\nnew      new\n"
                 "changed  text/readme.txt\nchanged  tool.exe\ndropped  Z\n1 new, 5 changed, 9 "
                 "unchanged, 1 dropped since 1.0.0\n" +
                     r + "/manifest.xml: version 1.1.0, 15 files\n");
        QVERIFY(made.err.startsWith(warning.arg("data/eof.bin").arg(6).arg(9)) &&
                made.err.contains("\n" + warning.arg("new").arg(0).arg(5)) &&
                made.err.count('\n') == 3 &&
                made.err.count("its SHA256 digest and signature cover") == 2 &&
                made.err.contains("\n" + tool + "hint: installations whose updater predates"));
        versions.remove("Z");
        for (const QString &name :
             QString("%zz a/readme.txt data/eof.bin new text/readme.txt tool.exe").split(' '))
            versions[name] = "1.1.0";
        QCOMPARE(readFile(r + "/manifest.xml"), expected(r, "1.1.0", versions));

        QVERIFY(QFile::rename(r + "/manifest.xml", root + "/1.1.0.xml"));
        // A release that only drops a file is new to installations.
        QVERIFY(QFile::rename(r + "/new", root + "/new"));
        made = run(make("1.1.1") + " --previous ROOT/1.1.0.xml --output ROOT/1.1.1.xml", root);
        QVERIFY(made.out.startsWith("dropped  new\n") && QFile::rename(root + "/new", r + "/new"));
        made = run(make("1.2.0", http, other) + " --previous ROOT/1.1.0.xml --allow-unchanged",
                   root, PublisherProgress::Shown);
        QVERIFY(made.out.startsWith("0 new, 0 changed, 15 unchanged, 0 dropped since 1.1.0\n"));
        QVERIFY(made.err.startsWith("\rhashing and signing: 15 of 15 files, 0.0 of 0.0 MiB\n") &&
                made.err.contains(tool + "warning: --server " + http +
                                  ": installations will fetch the release over plain HTTP, where"));
        QCOMPARE(readFile(r + "/update.xml"), expected(r, "1.2.0", versions, other, http));
        const PublisherOutcome verified = run("verify --release ROOT/r --key " + otherPublic, root);
        QVERIFY(verified.out.contains("\n15 listed: 15 ok, 0 failed; 0 not listed\n"));
        QVERIFY(verified.err.startsWith(tool + "warning: " + r + "/update.xml: UpdateServer \"" +
                                        http + "\": installations will fetch") &&
                verified.err.contains("\n" + warning.arg("data/eof.bin").arg(6).arg(9)) &&
                verified.err.count('\n') == 3);
    }
};

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
