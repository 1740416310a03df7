#include "app/update/downloadlistlog.h"

#include <QDebug>

namespace {

// Every line a person reads in full, and no more: a line that listed every remaining entry would
// make the log of an update grow with the square of its number of files (20,000 files wrote
// 8.7 GB).
constexpr int listedEntries = 100;

QString leftOutMarker(int count)
{
    return QChar(0x2026) + QString(" and %1 more").arg(count);
}

} // namespace

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
    const int leftOut = qMax(0, remaining.size() - listedEntries);
    const int first = planned.size() - remaining.size();
    const bool isTailOfPlan =
        first >= 0 && (remaining.isEmpty() || (remaining.first() == planned.at(first) &&
                                               remaining.last() == planned.last()));
    if (!isTailOfPlan) {
        if (leftOut == 0)
            qDebug() << "downlist : " << remaining;
        else
            qDebug() << "downlist : "
                     << (remaining.mid(0, listedEntries) << leftOutMarker(leftOut));
        return;
    }
    const int offset = first < entryOffsets.size() ? entryOffsets.at(first) : formatted.size() - 1;
    // The same line as qDebug() << "downlist : " << remaining, whose item separator is a blank.
    if (leftOut == 0) {
        qDebug().noquote().nospace() << "downlist :  (" << QStringView(formatted).mid(offset);
        return;
    }
    // Up to the ", " that precedes the first entry left out.
    const int end = entryOffsets.at(first + listedEntries) - 2;
    QString marker;
    QDebug(&marker).nospace() << leftOutMarker(leftOut);
    qDebug().noquote().nospace() << "downlist :  ("
                                 << QStringView(formatted).mid(offset, end - offset) << ", "
                                 << marker << ')';
}
