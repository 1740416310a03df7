#ifndef CORVANTILE_VERSIONCHECK_H
#define CORVANTILE_VERSIONCHECK_H

#include <QByteArray>
#include <QString>

class QNetworkReply;

// 1 when a is the newer version, -1 when it is the older, 0 when they count as equal. Only the
// first three dotted components decide; a missing or non-numeric component counts as 0.
int compareVersions(QString a, QString b);

// Why a finished reply cannot be used, or a null text when it can. Besides Qt's own errors this
// refuses every HTTP status outside 2xx, for which Qt reports no error (a redirect's page), a
// body of another size than its stated Content-Length, and a reply ended by failReply. A body
// read before the end must be read through readReply to be counted.
QString replyFailure(QNetworkReply *reply);

// Everything the reply has buffered, counted towards the body that replyFailure checks.
QByteArray readReply(QNetworkReply *reply);

// Ends a transfer that cannot be used, for a reason of the updater's own (an answer too large, a
// staging file that cannot be written): the reply finishes at once, inside this call, and
// replyFailure then gives the reason instead of Qt's "Operation canceled".
void failReply(QNetworkReply *reply, const QString &reason);

#endif // CORVANTILE_VERSIONCHECK_H
