#include "tests/fuzz/fuzzchecks.h"

#include "release/filenames.h"
#include "release/manifest.h"
#include "release/version.h"

#include <QDomDocument>

#include <cstdlib>

bool manifestChecksHold(const QByteArray &content)
{
    QDomDocument manifest;
    QMap<QString, QString> listed[4];
    if (!parseManifest(manifest, content))
        return true;
    const FileTable files = readFileTable(manifest, &listed[0], &listed[1], &listed[2], &listed[3]);
    // Digests are looked up under the names fetched; a null name is "none"; a refused name stops
    // all.
    bool holds = !files.contains(QString()) || !files.firstKey().isNull(), safe = true;
    for (const QMap<QString, QString> &map : listed) {
        for (auto text = map.cbegin(); text != map.cend(); ++text)
            holds = holds && files.contains(text.key()) && !text.value().isEmpty();
    }
    for (const QString &name : files.keys())
        safe = safe && unsafeNameReason(name).isNull();
    const auto unsafe = firstUnsafeName(files.keys());
    return holds && (unsafe ? files.contains(unsafe->name) && !unsafe->reason.isEmpty() : safe);
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
    return forward >= -1 && forward <= 1 && compareVersions(b, a) == -forward &&
           compareVersions(a, a) == 0 && compareVersions(b, b) == 0;
}

#ifdef CORVANTILE_FUZZ_CHECK // libFuzzer's entry: a crash, a hang or a broken check is a finding
extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    return CORVANTILE_FUZZ_CHECK(QByteArray::fromRawData(bytes, int(size))) ? 0 : (std::abort(), 0);
}
#endif
