#ifndef CORVANTILE_TOOLS_RELEASETREE_H
#define CORVANTILE_TOOLS_RELEASETREE_H

#include <QMap>
#include <QString>
#include <QStringList>

// A release folder as the publisher sees it. Every map is keyed by manifest name ("/" separated,
// relative to the folder), so it runs in the updater's own name order.
struct ReleaseTree
{
    // Files to publish: name to the path the content is read from. A symbolic link that resolves
    // to a regular file inside the folder is read through the link, under the link's name.
    QMap<QString, QString> files;
    // Entries that cannot be published, with the reason.
    QMap<QString, QString> problems;
    // Entries deliberately not published, with the reason; for the publisher's information.
    QMap<QString, QString> leftOut;
};

// Walks `root`. The manifest itself (update.xml at the top), staging files (*.update) and
// `excludedPath` (the manifest being written, wherever it is) are left out. Symbolic links are
// never walked into: a link to a regular file inside the folder is a file; a link to a folder,
// to anything outside the folder, or to nothing is a problem.
ReleaseTree walkRelease(const QString &root, const QString &excludedPath = QString());

#endif // CORVANTILE_TOOLS_RELEASETREE_H
