#ifndef CORVANTILE_RELEASE_FILENAMES_H
#define CORVANTILE_RELEASE_FILENAMES_H

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

// The rules for the names a manifest lists: the updater's, which keep every write, rename and
// delete inside the installation, and the publisher's, which add what the updater would read
// differently from the publisher. Each rule returns its reason, or a null text (or nothing) when
// the name passes.

// Appended to a file's local path to name the file it is downloaded into before its checks.
inline const QString stagingSuffix = QStringLiteral(".update");

// The relative path a manifest name is installed under: backslashes become slashes.
QString localPathForName(const QString &name);

// A path as the integrity layer takes it: UTF-8 bytes, which it opens by their Unicode name on
// every platform. QFile::encodeName() would give the system's narrow code page on Windows, where a
// name outside it turns into one that names no file.
std::string utf8Path(const QString &path);

// Why the updater must not write, rename or delete a manifest name. A name must be a relative
// path that stays inside the working directory and names an ordinary file on every platform:
// empty names, absolute, drive and UNC paths, "." and ".." components (with either separator),
// characters and device names that Windows gives another meaning, and the installation's own
// update.xml and the lock a running update holds beside it are refused.
QString unsafeNameReason(const QString &name);

// A name that cannot be installed safely beside the others, and why.
struct UnsafeName
{
    QString name;
    QString reason;
};

// The first name of a release that cannot be installed safely beside the others: an unsafe name,
// or one whose path collides (ignoring case, as Windows does) with another name's path, staging
// file or folder.
std::optional<UnsafeName> firstUnsafeName(const QStringList &names);

// Why the publisher must not publish a name: the updater's own rules, plus what the updater reads
// differently from the publisher (backslashes, its staging suffix) and what a download address or
// an XML manifest would not carry unchanged.
QString publishedNameProblem(const QString &name);

#endif // CORVANTILE_RELEASE_FILENAMES_H
