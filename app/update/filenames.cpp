#include "filenames.h"

#include <QSet>

QString localPathForName(const QString &name)
{
    QString path = name;
    path.replace('\\', '/');
    return path;
}

bool isSafeFileName(const QString &name)
{
    const QString path = localPathForName(name);
    if (path.isEmpty() || path.startsWith('/'))
        return false;
    // "C:x" is relative to the current directory of drive C, not to ours.
    if (path.size() >= 2 && path.at(1) == ':')
        return false;
    const QStringList components = path.split('/');
    for (const QString &component : components) {
        // An empty component ("a//b", "a/") names no file of its own; "." and ".." walk the tree.
        if (component.isEmpty() || component == "." || component == "..")
            return false;
        // Windows drops trailing dots and blanks from a component, so "..." or ".. " would walk
        // up there; and a colon opens an alternate data stream or names a drive.
        if (component.endsWith('.') || component.endsWith(' ') || component.contains(':'))
            return false;
        for (const QChar c : component) {
            if (c.unicode() < 0x20)
                return false;
        }
    }
    return true;
}

QString firstUnsafeName(const QStringList &names)
{
    QSet<QString> paths;
    paths.reserve(names.size());
    for (const QString &name : names) {
        if (!isSafeFileName(name))
            return name;
        const QString folded = localPathForName(name).toCaseFolded();
        if (paths.contains(folded))
            return name;
        paths.insert(folded);
    }
    // A file is staged beside its target under the target's name plus ".update": that staging
    // file must not overwrite another file of the same release.
    for (const QString &name : names) {
        if (paths.contains(localPathForName(name).toCaseFolded() + ".update"))
            return name;
    }
    return QString();
}
