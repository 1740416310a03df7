#ifndef CORVANTILE_VERSIONCHECK_H
#define CORVANTILE_VERSIONCHECK_H

#include <QString>

// 1 when a is the newer version, -1 when it is the older, 0 when they count as equal. Only the
// first three dotted components decide; a missing or non-numeric component counts as 0.
int compareVersions(QString a, QString b);

#endif // CORVANTILE_VERSIONCHECK_H
