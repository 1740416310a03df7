#include "app/update/downloadlistlog.h"

#include <QDebug>

void DownloadListLog::plan(const QStringList &downloads)
{
    planned = downloads;
    formatted.clear();
    entryOffsets.clear();
    entryOffsets.reserve(downloads.size());
    for (const QString &entry : downloads) {
        if (!entryOffsets.isEmpty())
            formatted += QLatin1String(", ");
        entryOffsets.append(formatted.size());
        QDebug(&formatted).nospace() << entry;
    }
    formatted += QLatin1Char(')');
}

void DownloadListLog::write(const QStringList &remaining) const
{
    const int first = planned.size() - remaining.size();
    const bool isTailOfPlan =
        first >= 0 && (remaining.isEmpty() || (remaining.first() == planned.at(first) &&
                                               remaining.last() == planned.last()));
    if (!isTailOfPlan) {
        qDebug() << "downlist : " << remaining;
        return;
    }
    const int offset = first < entryOffsets.size() ? entryOffsets.at(first) : formatted.size() - 1;
    // The same line as qDebug() << "downlist : " << remaining, whose item separator is a blank.
    qDebug().noquote().nospace() << "downlist :  (" << QStringView(formatted).mid(offset);
}
