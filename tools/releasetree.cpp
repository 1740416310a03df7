#include "releasetree.h"

#include "filenames.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

namespace {

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

bool isSymbolicLink(const QFileInfo &info)
{
    // Older Qt also calls a Windows shortcut (.lnk) a link, which it is not for the updater.
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    return info.isSymbolicLink();
#else
    return info.isSymLink();
#endif
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    const QString prefix = canonicalRoot.endsWith('/') ? canonicalRoot : canonicalRoot + '/';
    return canonicalPath.startsWith(prefix);
}

void addFile(ReleaseTree *tree, const QString &name, const QString &path)
{
    const QString problem = fileNameProblem(name);
    if (!problem.isEmpty()) {
        tree->problems.insert(name, problem);
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        tree->problems.insert(name, "cannot read it: " + file.errorString());
        return;
    }
    tree->files.insert(name, path);
}

void addLink(ReleaseTree *tree, const QString &name, const QFileInfo &link,
             const QString &canonicalRoot)
{
    const QString target = link.canonicalFilePath();
    if (target.isEmpty()) {
        tree->problems.insert(name, "it is a symbolic link to " + link.symLinkTarget() +
                                        ", which does not exist");
        return;
    }
    // A link out of the folder would publish whatever lies there, unseen by whoever reviews the
    // folder.
    if (!isInside(target, canonicalRoot)) {
        tree->problems.insert(name, "it is a symbolic link to " + target +
                                        ", outside the release folder");
        return;
    }
    const QFileInfo resolved(target);
    if (resolved.isDir()) {
        tree->problems.insert(name, "it is a symbolic link to a folder; only links to files are "
                                    "published");
        return;
    }
    if (!resolved.isFile()) {
        tree->leftOut.insert(name, "it links to something that is not a regular file");
        return;
    }
    addFile(tree, name, link.filePath());
}

} // namespace

QString fileNameProblem(const QString &name)
{
    // The updater would read a backslash as a separator and install the file under another
    // name, and would not know a name ending in its staging suffix from its own staging file.
    if (name.contains('\\'))
        return "it contains a backslash, which the updater reads as a folder separator";
    if (name.endsWith(stagingSuffix))
        return "it ends in \"" + stagingSuffix + "\", the suffix of the updater's staging files";
    // The updater's own rules, so that the tool never publishes a name installations refuse.
    const QString unsafe = unsafeNameReason(name);
    if (!unsafe.isNull())
        return unsafe;
    return characterProblem(name);
}

QString nameClash(const QStringList &names, QString *name)
{
    const std::optional<QString> unsafe = firstUnsafeName(names);
    if (!unsafe) {
        *name = QString();
        return QString();
    }
    const QString offender = *unsafe;
    *name = offender;
    const QString folded = localPathForName(offender).toCaseFolded();
    for (const QString &other : names) {
        if (other == offender)
            continue;
        const QString otherFolded = localPathForName(other).toCaseFolded();
        if (otherFolded == folded)
            return "it differs from \"" + other +
                   "\" only in case, and Windows does not tell the two apart";
        if (otherFolded == folded + stagingSuffix)
            return "its staging file would overwrite \"" + other + "\"";
        if (otherFolded.startsWith(folded + '/'))
            return "the file stands where \"" + other + "\" needs a folder";
    }
    return "the updater refuses it";
}

ReleaseTree walkRelease(const QString &root, const QString &excludedPath)
{
    ReleaseTree tree;
    const QString base = QDir(root).absolutePath();
    const QString prefix = base.endsWith('/') ? base : base + '/';
    const QString canonicalRoot = QFileInfo(base).canonicalFilePath();
    const QString excluded =
        excludedPath.isEmpty() ? QString() : QFileInfo(excludedPath).absoluteFilePath();

    QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = path.mid(prefix.size());
        const bool link = isSymbolicLink(info);

        // A name the file system holds in another encoding comes back altered and names nothing.
        if (!link && !info.exists()) {
            tree.problems.insert(name, "its name cannot be read back (it is not valid UTF-8)");
            continue;
        }
        if (!link && info.isDir()) {
            // The iterator passes over a folder it cannot open without a word.
            if (!info.isReadable() || !info.isExecutable())
                tree.problems.insert(name, "cannot read this folder");
            continue;
        }
        if (name == "update.xml" || (!excluded.isEmpty() && info.absoluteFilePath() == excluded))
            continue;
        if (name.endsWith(stagingSuffix)) {
            tree.leftOut.insert(name, "a staging file of the updater");
            continue;
        }
        if (link)
            addLink(&tree, name, info, canonicalRoot);
        else if (info.isFile())
            addFile(&tree, name, path);
        else
            tree.leftOut.insert(name, "not a regular file");
    }
    return tree;
}
