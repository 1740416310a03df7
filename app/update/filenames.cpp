#include "filenames.h"

#include <QSet>

namespace {

// Windows opens a device instead of a file for these names, whatever extension follows them.
bool isDeviceName(const QString &component)
{
    static const QStringList devices = {
        "CON", "PRN", "AUX", "NUL", "COM0", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
        "COM8", "COM9", "LPT0", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",
        "LPT9", "CONIN$", "CONOUT$",
        // The superscript digits count as digits for Windows here.
        QString::fromUtf8("COM¹"), QString::fromUtf8("COM²"), QString::fromUtf8("COM³"),
        QString::fromUtf8("LPT¹"), QString::fromUtf8("LPT²"), QString::fromUtf8("LPT³")};
    QString stem = component.left(component.indexOf('.'));
    while (stem.endsWith(' '))
        stem.chop(1);
    return devices.contains(stem, Qt::CaseInsensitive);
}

QString componentReason(const QString &component)
{
    // An empty component ("a//b", "a/") names no file of its own; "." and ".." walk the tree.
    if (component.isEmpty())
        return "it has an empty folder component";
    if (component == "." || component == "..")
        return "its component \"" + component + "\" walks the folder tree";
    // Windows drops trailing dots and blanks, so "..." or ".. " would walk up there too.
    if (component.endsWith('.'))
        return "its component \"" + component + "\" ends in a dot, which Windows drops";
    if (component.endsWith(' '))
        return "its component \"" + component + "\" ends in a blank, which Windows drops";
    if (isDeviceName(component))
        return "its component \"" + component + "\" is a Windows device name";
    for (const QChar c : component) {
        if (c.unicode() < 0x20)
            return QString("it contains the control character U+%1, which Windows does not "
                           "allow in file names")
                .arg(QString::number(c.unicode(), 16).toUpper(), 4, QChar('0'));
        // A colon names a drive or an alternate data stream; the rest are wildcards and
        // redirections that Windows refuses in file names.
        if (QStringLiteral("<>:\"|?*").contains(c))
            return QString("it contains the character '%1', which Windows does not allow in file "
                           "names")
                .arg(c);
    }
    return QString();
}

} // namespace

QString localPathForName(const QString &name)
{
    QString path = name;
    path.replace('\\', '/');
    return path;
}

std::string nativePath(const QString &path)
{
    return path.toUtf8().toStdString();
}

QString unsafeNameReason(const QString &name)
{
    const QString path = localPathForName(name);
    if (path.isEmpty())
        return "it is empty";
    if (path.startsWith('/'))
        return "it is an absolute path";
    // "C:x" is relative to the current directory of drive C, not to ours.
    if (path.size() >= 2 && path.at(1) == ':')
        return "it names a drive";
    if (path.compare("update.xml", Qt::CaseInsensitive) == 0)
        return "it is the installation's own manifest";
    for (const QString &component : path.split('/')) {
        const QString reason = componentReason(component);
        if (!reason.isNull())
            return reason;
    }
    return QString();
}

bool isSafeFileName(const QString &name)
{
    return unsafeNameReason(name).isNull();
}

std::optional<QString> firstUnsafeName(const QStringList &names)
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
    for (const QString &name : names) {
        const QString folded = localPathForName(name).toCaseFolded();
        // A file is staged beside its target under the target's name plus ".update": that
        // staging file must not overwrite another file of the same release.
        if (paths.contains(folded + stagingSuffix))
            return name;
        // A file cannot stand where another file needs a folder.
        for (int slash = folded.indexOf('/'); slash >= 0; slash = folded.indexOf('/', slash + 1)) {
            if (paths.contains(folded.left(slash)))
                return name;
        }
    }
    return std::nullopt;
}
