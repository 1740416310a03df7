#ifndef CORVANTILE_TRANSFER_REPLYCHECKS_H
#define CORVANTILE_TRANSFER_REPLYCHECKS_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

class QIODevice;
class QNetworkReply;
class QUrl;

// How a release is fetched and whether a finished network reply brought what it says it did: the
// updater's manifest request and every download go through these, and so does the publisher's
// check of a live release, which must meet the server as installations meet it.

// Whether a request may be sent to the address at all: only http and https. A file: address would
// install whatever the local disk (or, on Windows, a network share reached with the user's
// credentials) holds, and other schemes reach servers that were never meant to serve releases.
bool isRequestableAddress(const QUrl &url);

// The GET request for a manifest or a file. It asks for the body as the server stores it: Qt would
// otherwise ask for gzip and unpack it without limit, and drop the stated length, which is the
// only way to tell a whole body from a cut one. A redirect is not followed: its answer is what
// replyFailure judges.
QNetworkRequest bodyRequest(const QUrl &url);

// What is wrong with a finished reply, by kind, for a caller that answers each kind differently.
enum class ReplyFault {
    None,
    // No server answered: no connection, a TLS handshake that failed, a name that did not resolve.
    Unanswered,
    // An HTTP status outside 2xx.
    Status,
    // The body is encoded although bodyRequest asked for none.
    Encoded,
    // The server did not state the length of the body.
    Unframed,
    // The body ended before its stated length, or the connection failed during it.
    CutShort,
    // More arrived than the stated length.
    Overlong,
    // Ended by failReply, for a reason of the program's own.
    Failed,
};

struct ReplyProblem
{
    ReplyFault fault = ReplyFault::None;
    // Why, in words; null when the fault is None.
    QString reason;
};

// Why a finished reply cannot be used. Besides Qt's own errors this refuses every HTTP status
// outside 2xx, for which Qt reports no error (a redirect's page, an informational answer such as
// 103 Early Hints taken for the answer), a body the server encoded although bodyRequest asked for
// none, a body whose length the server did not state (chunked or ended by closing the connection:
// Qt takes a garbled chunk size or a closed connection for the end), a body of another size than
// its stated Content-Length, and a reply ended by failReply. A body read before the end must be
// read through readReply to be counted.
ReplyProblem replyProblem(QNetworkReply *reply);

// The reason of replyProblem, or a null text when the reply can be used.
QString replyFailure(QNetworkReply *reply);

// Everything the reply has buffered, counted towards the body that replyFailure checks.
QByteArray readReply(QNetworkReply *reply);

// Ends a transfer that cannot be used, for a reason of the program's own (an answer too large, a
// staging file that cannot be written): the reply finishes at once, inside this call, and
// replyFailure then gives the reason instead of Qt's "Operation canceled".
void failReply(QNetworkReply *reply, const QString &reason);

// Fails the reply with `reason` as soon as its body is announced or found to be larger than
// `maximumSize`, whether it is read as it comes (readReply) or left in the reply until the end:
// memory never holds more than the limit and one network read. Connect it before anything that
// reads the reply.
void limitReplySize(QNetworkReply *reply, qint64 maximumSize, const QString &reason);

// Reads a body into a file as it arrives: the reply's buffer is bounded, so that a transfer that
// outruns the disk waits for it instead of piling up in memory.
void streamReplyInto(QNetworkReply *reply);

// Writes all of a read body's bytes to the file. A file system that fills up takes part of a
// write and reports no error for it; only the write of the rest fails and says why.
bool writeBody(QIODevice &file, const QByteArray &data);

#endif // CORVANTILE_TRANSFER_REPLYCHECKS_H
