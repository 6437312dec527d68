// SPDX-License-Identifier: GPL-3.0-or-later
#include "bindings/bindinglist.h"

#include <algorithm>

void BindingList::erase(int position)
{
    records.erase(records.begin() + position);
}

void BindingList::eraseAll(const QList<int> &ascendingPositions)
{
    if (ascendingPositions.isEmpty())
        return;
    // One compaction pass instead of one erase per position, so deleting
    // most of a long list stays linear.
    auto next = ascendingPositions.cbegin();
    size_t kept = static_cast<size_t>(*next);
    for (size_t i = kept; i < records.size(); ++i) {
        if (next != ascendingPositions.cend() && static_cast<size_t>(*next) == i) {
            ++next;
            continue;
        }
        records[kept++] = std::move(records[i]);
    }
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(kept), records.end());
}
