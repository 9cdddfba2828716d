// libFuzzer entry: arbitrary scripts against the device protocol's invariants.
#include "protocolproperties.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t kMaxScript = 4096; // longer scripts only repeat what shorter ones reach
    if (size > kMaxScript)
        return -1;
    const QString broken = CheckProtocolScript(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!broken.isEmpty()) {
        std::fprintf(stderr, "invariant broken: %s\n", qPrintable(broken));
        std::abort();
    }
    return 0;
}
