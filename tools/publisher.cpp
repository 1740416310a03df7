#include "tools/publisher.h"

#include "tools/publishercommands.h"

#include <QMap>
#include <QTextStream>

namespace {

const char topUsage[] = R"(Usage: corvantile-publish COMMAND [OPTIONS]

Publishes releases for CorvantileUpdate installations.

Commands:
  make     write the update manifest (update.xml) of a release folder, with every file's
           digests and signatures
  verify   check a published release, in its folder or as its server answers, as
           installations check what they download

Run "corvantile-publish COMMAND --help" for the options of a command.
Exit status: 0 done, 1 refused or a check failed, 2 wrong usage.
)";

const char makeUsage[] =
    R"(Usage: corvantile-publish make --release DIR --server URL --version X.Y.Z --key PRIVATE.pem
                               [--previous OLD.xml [--allow-unchanged]] [--output FILE]

Writes the update manifest of the release in DIR: every regular file below DIR, named by its
path relative to DIR with "/" separators, with its file version, its MD5 digest (as
installations compute it: CR LF counts as LF, a byte 0x1A ends the file), its SHA256 digest (of
every byte) and an RSA signature of each. A file with bytes after a 0x1A gets a warning: its MD5
digest and signature do not cover them, and updaters from before SHA256 check only those.

  --release DIR       the release folder, laid out as an installation holds it
  --server URL        the address DIR is served at; installations fetch update.xml and every
                      file below it (written as UpdateServer)
  --version X.Y.Z     the release version: three or more decimal numbers
  --key PRIVATE.pem   the publisher's RSA private key (PEM, not protected by a passphrase)
  --previous OLD.xml  the manifest of the release before: a file whose SHA256 did not change
                      keeps its file version there, so installations do not fetch it again;
                      a changed or new file gets --version, which must be newer than OLD.xml's
  --allow-unchanged   publish even when nothing is new, changed or dropped since OLD.xml
                      (refused without it: installations would fetch nothing)
  --output FILE       where to write the manifest (default: DIR/update.xml)
  -h, --help          show this help

Left out: DIR/update.xml, the output file, and files ending in ".update" (the updater's staging
files). A symbolic link to a regular file inside DIR is published under the link's name with
the file's content; a link to a folder, to anything outside DIR, or to nothing is refused, as
are names that the updater refuses, that Windows cannot create, or that a download address
would alter.
)";

const char verifyUsage[] =
    R"(Usage: corvantile-publish verify --release DIR --key PUBLIC.pem
       corvantile-publish verify --url URL --key PUBLIC.pem [--release DIR]

Checks a release as installations check every file they download: its name, its MD5 and SHA256
digests and their signatures, opened with the public key.

With --release alone, the folder DIR against DIR/update.xml. One line per listed file: ok,
MISSING, UNREADABLE, MD5 MISMATCH, BAD SIGNATURE, SHA256 MISMATCH, BAD SHA256 SIGNATURE, NO
DIGEST or UNSAFE NAME; then a NOT LISTED line for every file in DIR that the manifest does not
list (installations never fetch those, so they do not fail the check).

With --url, the release as the server at URL answers for it: URL/update.xml and then every
file it lists at URL/NAME, one at a time, fetched as installations fetch them (only http and
https, the body unencoded and whole as its Content-Length states, no redirect followed, the
system's trust store). Each file is streamed to a temporary file and checked there. Besides the
words above, a line may say HTTP STATUS (the server answered with another status than 2xx; 404:
not uploaded), REDIRECTED, CUT SHORT (the body ended before its length), BAD ANSWER (an encoded
body or one without a stated length), UNREACHABLE (no answer: the network or TLS error follows)
or NOT CHECKED. A warning says when the answer for update.xml lets caches keep it for more than
5 minutes. With --release as well, the served update.xml must be DIR/update.xml byte for byte
and every served file DIR's file (DIFFERS otherwise: a stale cache or a half-finished upload).

A file with bytes after a 0x1A, which its MD5 digest does not cover, gets a warning on standard
error; it does not fail the check. On a terminal, --url shows how far each file has come.

  --release DIR       the published release folder
  --url URL           the address installations fetch the release from (UpdateServer)
  --key PUBLIC.pem    the RSA public key that installations embed (PEM)
  -h, --help          show this help
)";

struct Command
{
    QString name;
    QStringList options;
    QStringList required;
    const char *usage;
    // Options that take no value.
    QStringList flags = {};
};

const Command makeCommand{"make",
                          {"release", "server", "version", "key", "previous", "output"},
                          {"release", "server", "version", "key"},
                          makeUsage,
                          {"allow-unchanged"}};
const Command verifyCommand{"verify", {"release", "url", "key"}, {"key"}, verifyUsage};

int usageError(QTextStream &err, const Command *command, const QString &message)
{
    const QString context = command ? publisherName + " " + command->name : publisherName;
    err << context << ": " << message << "\n"
        << "Try \"" << context << " --help\".\n";
    return PublisherUsageError;
}

// "--name value" and "--name=value"; an option may be given once. A value that starts with "--"
// is taken for a forgotten value, unless it is given with "=".
bool parseOptions(const Command &command, const QStringList &arguments,
                  QMap<QString, QString> *values, QString *error)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!argument.startsWith("--")) {
            *error = "unexpected argument " + quoted(argument);
            return false;
        }
        QString name = argument.mid(2);
        QString value;
        const int equals = name.indexOf('=');
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (!command.options.contains(name) && !command.flags.contains(name)) {
            *error = "unknown option --" + name;
            return false;
        }
        if (values->contains(name)) {
            *error = "--" + name + " is given twice";
            return false;
        }
        if (command.flags.contains(name)) {
            if (equals >= 0) {
                *error = "--" + name + " takes no value";
                return false;
            }
            values->insert(name, QString());
            continue;
        }
        if (equals < 0) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith("--")) {
                *error = "--" + name + " needs a value";
                return false;
            }
            value = arguments.at(++i);
        }
        if (value.isEmpty()) {
            *error = "--" + name + " needs a value, not empty text";
            return false;
        }
        values->insert(name, value);
    }
    for (const QString &name : command.required) {
        if (!values->contains(name)) {
            *error = "missing --" + name;
            return false;
        }
    }
    return true;
}

bool asksForHelp(const QStringList &arguments)
{
    return arguments.contains("--help") || arguments.contains("-h");
}

} // namespace

int runPublisher(const QStringList &arguments, QTextStream &out, QTextStream &err,
                 PublisherProgress progress)
{
    if (arguments.isEmpty())
        return usageError(err, nullptr, "no command given");
    const QString commandName = arguments.first();
    if (commandName == "--help" || commandName == "-h" || commandName == "help") {
        out << topUsage;
        return PublisherSuccess;
    }
    const Command *command = nullptr;
    if (commandName == makeCommand.name)
        command = &makeCommand;
    else if (commandName == verifyCommand.name)
        command = &verifyCommand;
    else
        return usageError(err, nullptr, "unknown command " + quoted(commandName));

    const QStringList rest = arguments.mid(1);
    if (asksForHelp(rest)) {
        out << command->usage;
        return PublisherSuccess;
    }
    QMap<QString, QString> options;
    QString error;
    if (!parseOptions(*command, rest, &options, &error))
        return usageError(err, command, error);
    if (command == &makeCommand)
        return runMake(options, out, err, progress);
    if (options.contains("url"))
        return runVerifyLive(options, out, err, progress);
    if (!options.contains("release"))
        return usageError(err, command, "missing --release or --url");
    return runVerify(options, out, err);
}
