#ifndef CORVANTILE_APP_REPLYCHECKS_H
#define CORVANTILE_APP_REPLYCHECKS_H

#include <QByteArray>
#include <QString>

class QNetworkReply;

// Whether a finished network reply brought what it says it did: the manifest request and every
// download go through these.

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

#endif // CORVANTILE_APP_REPLYCHECKS_H
