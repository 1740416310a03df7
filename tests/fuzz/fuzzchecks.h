#ifndef CORVANTILE_FUZZCHECKS_H
#define CORVANTILE_FUZZCHECKS_H

class QByteArray;

// What the fuzz targets check for one input, false for a finding; tst_updaterun replays the
// inputs in tests/data/regressions/. The bytes as a server's manifest, read as planning reads it:
bool manifestChecksHold(const QByteArray &content);
// Two version texts, split at the first NUL, compared either way and each with itself:
bool versionChecksHold(const QByteArray &content);

#endif // CORVANTILE_FUZZCHECKS_H
