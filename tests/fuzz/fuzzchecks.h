#ifndef CORVANTILE_FUZZCHECKS_H
#define CORVANTILE_FUZZCHECKS_H

class QByteArray;

// What the fuzz targets do with one input, and what must hold afterwards. The hostile server
// suite replays every input that once broke them (tests/data/regressions/) through the same code.

// Takes the bytes as the server's manifest through parsing, the file table with its digests and
// signatures, the version comparisons of planning and the scrutiny of the names. False when a
// result breaks what planning and verification rely on.
bool manifestChecksHold(const QByteArray &content);

// Splits the bytes at the first NUL into two version texts. False unless compareVersions orders
// them the same way read from either side, and each equal to itself.
bool versionChecksHold(const QByteArray &content);

#endif // CORVANTILE_FUZZCHECKS_H
