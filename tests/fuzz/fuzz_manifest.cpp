// Bytes as a server would send them for its manifest: see manifestChecksHold. Any crash, hang or
// sanitizer report is a finding, and so is a broken check.
#include "tests/fuzz/fuzzchecks.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    if (!manifestChecksHold(content))
        std::abort();
    return 0;
}
