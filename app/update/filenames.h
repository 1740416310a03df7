#ifndef CORVANTILE_FILENAMES_H
#define CORVANTILE_FILENAMES_H

#include <QString>
#include <QStringList>

// Appended to a file's local path to name the file it is downloaded into before its checks.
inline const QString stagingSuffix = QStringLiteral(".update");

// The relative path a manifest name is installed under: backslashes become slashes.
QString localPathForName(const QString &name);

// True when a manifest name is safe to write, rename or delete: a relative path that stays
// inside the working directory on every platform. Empty names, absolute and drive paths, UNC
// paths and ".." components are refused, in either separator.
bool isSafeFileName(const QString &name);

// The first name whose local path is unsafe or collides (ignoring case, as Windows does) with
// another name's; empty when all names may be installed side by side.
QString firstUnsafeName(const QStringList &names);

#endif // CORVANTILE_FILENAMES_H
