// A libFuzzer target for one check of fuzzchecks.h, named by CORVANTILE_FUZZ_CHECK: any crash,
// hang, sanitizer report or broken check is a finding.
#include "tests/fuzz/fuzzchecks.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!CORVANTILE_FUZZ_CHECK(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))))
        std::abort();
    return 0;
}
