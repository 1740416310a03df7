#ifndef CORVANTILE_FILENAMES_H
#define CORVANTILE_FILENAMES_H

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

// Appended to a file's local path to name the file it is downloaded into before its checks.
inline const QString stagingSuffix = QStringLiteral(".update");

// The relative path a manifest name is installed under: backslashes become slashes.
QString localPathForName(const QString &name);

// A local path as the integrity layer takes it: UTF-8 bytes, which it opens by their Unicode
// name on every platform. QFile::encodeName() would give the system's narrow code page on
// Windows, where a name outside it turns into one that names no file.
std::string nativePath(const QString &path);

// Why a manifest name must not be written, renamed or deleted, or a null text when it may. A
// name must be a relative path that stays inside the working directory and names an ordinary
// file on every platform: empty names, absolute, drive and UNC paths, "." and ".." components
// (with either separator), characters and device names that Windows gives another meaning, and
// the installation's own update.xml are refused.
QString unsafeNameReason(const QString &name);
bool isSafeFileName(const QString &name);

// The first name of a release that cannot be installed safely beside the others: an unsafe name,
// or one whose path collides (ignoring case, as Windows does) with another name's path, staging
// file or folder. Nothing when every name may be installed.
std::optional<QString> firstUnsafeName(const QStringList &names);

#endif // CORVANTILE_FILENAMES_H
