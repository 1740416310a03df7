#ifndef CORVANTILE_FUZZCHECKS_H
#define CORVANTILE_FUZZCHECKS_H

class QByteArray;

// What the fuzz targets check for one input; the end-to-end suite replays every input that once
// broke them (tests/data/regressions/). False when a result breaks what the updater relies on.
// The bytes as a server's manifest: parsing, the file table with its digests and signatures, the
// version comparisons of planning and the scrutiny of the names.
bool manifestChecksHold(const QByteArray &content);
// Two version texts split at the first NUL: ordered alike from either side, each equal to itself.
bool versionChecksHold(const QByteArray &content);

#endif // CORVANTILE_FUZZCHECKS_H
