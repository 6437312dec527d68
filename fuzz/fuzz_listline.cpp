// SPDX-License-Identifier: GPL-3.0-or-later
// One line of a list file, as the list-file reader turns it into a binding.
// Whatever the line holds, the binding must come out again unchanged when it
// is written as a line and read back: that is what Save and Open rely on.
#include <cstddef>
#include <cstdint>

#include <QString>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "fuzz/fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    BindingList &list = bindingList();
    list.clear();
    const KeyBinding binding = list.bindingFromLine(line);
    require(!binding.keyText.contains(QLatin1Char('|')), "key text without the field separator");
    require(line.startsWith(binding.keyText), "key text is the line's first field");

    list.append(binding);
    const QString written = list.bindingToLine(0);
    const KeyBinding again = list.bindingFromLine(written);
    require(again == binding, "a binding survives being written and read as a line");
    list.append(again);
    require(list.bindingToLine(1) == written, "a written line is read and written unchanged");
    list.clear();
    return 0;
}
