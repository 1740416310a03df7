#ifndef CORVANTILE_VERSIONCHECK_H
#define CORVANTILE_VERSIONCHECK_H

#include <QString>

class QNetworkReply;

// 1 when a is the newer version, -1 when it is the older, 0 when they count as equal. Only the
// first three dotted components decide; a missing or non-numeric component counts as 0.
int compareVersions(QString a, QString b);

// Why a finished reply cannot be used, or a null text when it can. Besides Qt's own errors this
// refuses every HTTP status outside 2xx, for which Qt reports no error (a redirect's page).
QString replyFailure(QNetworkReply *reply);

#endif // CORVANTILE_VERSIONCHECK_H
