#ifndef CORVANTILE_RELEASE_VERSION_H
#define CORVANTILE_RELEASE_VERSION_H

#include <QString>

// 1 when a is the newer version, -1 when it is the older, 0 when they count as equal. Only the
// first three dotted components decide; a missing or non-numeric component counts as 0.
int compareVersions(const QString &a, const QString &b);

// Why a text cannot be a published release or file version (at least three dotted components,
// each a decimal number that compareVersions reads as such), or a null text.
QString versionProblem(const QString &version);

#endif // CORVANTILE_RELEASE_VERSION_H
