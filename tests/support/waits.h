#pragma once

#include <algorithm>

// A wait's limit: a few of the code's own periods, never less than several
// seconds, which a loaded machine or a sanitizer build may take.
inline constexpr int waitLimit(int ms)
{
    return std::max(ms, 5000);
}
