#ifndef CORVANTILE_APP_DOWNLOADLISTLOG_H
#define CORVANTILE_APP_DOWNLOADLISTLOG_H

#include <QString>
#include <QStringList>
#include <QVector>

// Writes the "downlist : " log line, which lists the files still to fetch in the debug stream's
// list form, once per file. A queue longer than a hundred entries shows its first hundred and one
// last entry that says how many are left out. The queue only ever takes entries from the front of
// the planned list, so every line is a tail of the first one: the entries are formatted once, when
// the list is planned, instead of once per line (thousands of files would otherwise cost quadratic
// time in quoting alone).
class DownloadListLog
{
public:
    void plan(const QStringList &downloads);
    void write(const QStringList &remaining) const;

private:
    QStringList planned;
    // The planned entries as the debug stream quotes them, joined by ", ", with the closing
    // parenthesis; entryOffsets[i] is where entry i starts in it.
    QString formatted;
    QVector<int> entryOffsets;
};

#endif // CORVANTILE_APP_DOWNLOADLISTLOG_H
