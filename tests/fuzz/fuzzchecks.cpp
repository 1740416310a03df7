#include "tests/fuzz/fuzzchecks.h"

#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QDomDocument>

#include <algorithm>

static bool isOrdering(int result)
{
    return result >= -1 && result <= 1;
}

bool manifestChecksHold(const QByteArray &content)
{
    QDomDocument manifest;
    if (!parseManifest(manifest, content))
        return true;
    QMap<QString, QString> listed[4];
    const FileTable files = readFileTable(manifest, &listed[0], &listed[1], &listed[2], &listed[3]);
    // Verification looks digests and signatures up under the names planning fetches.
    for (const QMap<QString, QString> &map : listed) {
        for (auto text = map.cbegin(); text != map.cend(); ++text) {
            if (!files.contains(text.key()) || text.value().isEmpty())
                return false;
        }
    }
    const QString release = elementText(manifest, "Version");
    if (!isOrdering(compareVersions("1.0.0", release)))
        return false;
    // Planning takes a null name for "none": the table must never hold one.
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (file.key().isNull() || !isOrdering(compareVersions("1.0.0", file.value())) ||
            !isOrdering(compareVersions(file.value(), release)))
            return false;
    }
    // Planning fetches, writes, renames and deletes only when no name is refused.
    if (const auto unsafe = firstUnsafeName(files.keys()))
        return files.contains(unsafe->name) && !unsafe->reason.isEmpty();
    const QStringList names = files.keys();
    return std::all_of(names.cbegin(), names.cend(),
                       [](const QString &name) { return unsafeNameReason(name).isNull(); });
}

bool versionChecksHold(const QByteArray &content)
{
    // Every byte after the first NUL belongs to the second text, further NULs included.
    const int nul = content.indexOf('\0');
    const QString a = QString::fromUtf8(content.constData(), nul < 0 ? content.size() : nul);
    const QString b =
        nul < 0 ? QString()
                : QString::fromUtf8(content.constData() + nul + 1, content.size() - nul - 1);
    const int forward = compareVersions(a, b);
    return isOrdering(forward) && compareVersions(b, a) == -forward && compareVersions(a, a) == 0 &&
           compareVersions(b, b) == 0;
}
