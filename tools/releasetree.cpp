#include "tools/releasetree.h"

#include "release/filenames.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

namespace {

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
    const QString problem = publishedNameProblem(name);
    if (!problem.isNull()) {
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
