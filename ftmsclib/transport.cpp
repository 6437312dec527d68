// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/transport.h"

#include <algorithm>

namespace ftlib {

// Rounded up, so that a wait never ends just before its deadline and is
// then repeated with nothing to wait for.
int remainingMs(Transport::Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Transport::Clock::now());
    return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), 60000)) : 0;
}

} // namespace ftlib
