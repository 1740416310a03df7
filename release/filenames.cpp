#include "release/filenames.h"

#include <QHash>

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

bool isHexDigit(QChar c)
{
    const ushort u = c.toLower().unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f');
}

QString codePoint(uint value)
{
    return QString("U+%1").arg(value, 4, 16, QChar('0')).toUpper();
}

// What the updater's rules let through but a download address or an XML manifest would alter.
QString characterProblem(const QString &name)
{
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        // The updater joins the name into its download address as it stands.
        if (c == '#')
            return "it contains '#', which would end the download address (a URL fragment)";
        if (c == '%' && i + 2 < name.size() && isHexDigit(name.at(i + 1)) &&
            isHexDigit(name.at(i + 2)))
            return QString("\"%1\" in it would be read as a percent escape in the download "
                           "address")
                .arg(name.mid(i, 3));
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate() || c.unicode() == 0xfffe || c.unicode() == 0xffff)
            return "it contains " + codePoint(c.unicode()) + ", which an XML manifest cannot carry";
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

std::string utf8Path(const QString &path)
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
        return "it contains a colon: Windows reads \"" + path.left(2) +
               "\" as a drive, and allows no colon in file names";
    if (path.compare("update.xml", Qt::CaseInsensitive) == 0)
        return "it is the installation's own manifest";
    // Installed, it would stand in for the lock of a running update and be removed with it.
    if (path.compare("update.xml.lock", Qt::CaseInsensitive) == 0)
        return "it is the lock of a running update";
    for (const QString &component : path.split('/')) {
        const QString reason = componentReason(component);
        if (!reason.isNull())
            return reason;
    }
    return QString();
}

std::optional<UnsafeName> firstUnsafeName(const QStringList &names)
{
    // Case-folded path to the name it came from.
    QHash<QString, QString> paths;
    paths.reserve(names.size());
    for (const QString &name : names) {
        const QString reason = unsafeNameReason(name);
        if (!reason.isNull())
            return UnsafeName{name, reason};
        const QString folded = localPathForName(name).toCaseFolded();
        const auto other = paths.constFind(folded);
        if (other != paths.constEnd())
            return UnsafeName{name, "it differs from \"" + other.value() +
                                        "\" only in case, and Windows does not tell the two apart"};
        paths.insert(folded, name);
    }
    for (const QString &name : names) {
        const QString folded = localPathForName(name).toCaseFolded();
        // A file is staged beside its target under the target's name plus ".update": that
        // staging file must not overwrite another file of the same release.
        const auto staging = paths.constFind(folded + stagingSuffix);
        if (staging != paths.constEnd())
            return UnsafeName{name, "its staging file would overwrite \"" + staging.value() + "\""};
        // A file cannot stand where another file needs a folder.
        for (int slash = folded.indexOf('/'); slash >= 0; slash = folded.indexOf('/', slash + 1)) {
            const auto file = paths.constFind(folded.left(slash));
            if (file != paths.constEnd())
                return UnsafeName{name, "it needs \"" + file.value() +
                                            "\" as a folder, but the release has a file there"};
        }
    }
    return std::nullopt;
}

QString publishedNameProblem(const QString &name)
{
    // The updater would read a backslash as a separator and install the file under another
    // name, and would not know a name ending in its staging suffix from its own staging file.
    if (name.contains('\\'))
        return "it contains a backslash, which the updater reads as a folder separator";
    if (name.endsWith(stagingSuffix))
        return "it ends in \"" + stagingSuffix + "\", the suffix of the updater's staging files";
    const QString unsafe = unsafeNameReason(name);
    if (!unsafe.isNull())
        return unsafe;
    return characterProblem(name);
}
