// Two version texts, split at the first NUL byte: see versionChecksHold.
#include "tests/fuzz/fuzzchecks.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    if (!versionChecksHold(content))
        std::abort();
    return 0;
}
