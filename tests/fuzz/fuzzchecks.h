#ifndef CORVANTILE_FUZZCHECKS_H
#define CORVANTILE_FUZZCHECKS_H

class QByteArray;

// The fuzz targets' checks (false: a finding), replayed on tests/data/regressions/ by
// tst_units: a server's manifest read as planning reads it; two versions split at a NUL
// compared both ways.
bool manifestChecksHold(const QByteArray &content);
bool versionChecksHold(const QByteArray &content);

#endif // CORVANTILE_FUZZCHECKS_H
