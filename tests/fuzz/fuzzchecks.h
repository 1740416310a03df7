#ifndef CORVANTILE_FUZZCHECKS_H
#define CORVANTILE_FUZZCHECKS_H

class QByteArray;

// What the fuzz targets check for one input, false for a finding (tst_updaterun replays each
// input of tests/data/regressions/): the bytes as a server's manifest read as planning reads it,
// and two version texts, split at the first NUL, compared either way.
bool manifestChecksHold(const QByteArray &content);
bool versionChecksHold(const QByteArray &content);

#endif // CORVANTILE_FUZZCHECKS_H
