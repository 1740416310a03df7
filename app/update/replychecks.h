#ifndef CORVANTILE_APP_REPLYCHECKS_H
#define CORVANTILE_APP_REPLYCHECKS_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

class QNetworkReply;
class QUrl;

// Whether a finished network reply brought what it says it did: the manifest request and every
// download go through these.

// Whether the updater may send a request to the address at all: only http and https. A file:
// address would install whatever the local disk (or, on Windows, a network share reached with the
// user's credentials) holds, and other schemes reach servers that were never meant to serve
// releases.
bool isRequestableAddress(const QUrl &url);

// The GET request for a manifest or a file. It asks for the body as the server stores it: Qt would
// otherwise ask for gzip and unpack it without limit, and drop the stated length, which is the
// only way to tell a whole body from a cut one.
QNetworkRequest bodyRequest(const QUrl &url);

// Why a finished reply cannot be used, or a null text when it can. Besides Qt's own errors this
// refuses every HTTP status outside 2xx, for which Qt reports no error (a redirect's page, an
// informational answer such as 103 Early Hints taken for the answer), a body the server encoded
// although bodyRequest asked for none, a body whose length the server did not state (chunked or
// ended by closing the connection: Qt takes a garbled chunk size or a closed connection for the
// end), a body of another size than its stated Content-Length, and a reply ended by failReply. A
// body read before the end must be read through readReply to be counted.
QString replyFailure(QNetworkReply *reply);

// Everything the reply has buffered, counted towards the body that replyFailure checks.
QByteArray readReply(QNetworkReply *reply);

// Ends a transfer that cannot be used, for a reason of the updater's own (an answer too large, a
// staging file that cannot be written): the reply finishes at once, inside this call, and
// replyFailure then gives the reason instead of Qt's "Operation canceled".
void failReply(QNetworkReply *reply, const QString &reason);

#endif // CORVANTILE_APP_REPLYCHECKS_H
