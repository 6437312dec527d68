#pragma once

#include <QString>

// Writes the whole binding list to a list file, one binding per line. The old
// file is replaced only when everything was written; on failure it is left
// as it was (unless its folder takes no new file, and it is written in
// place), lastFileError() says why, and the result is false.
bool saveBindingList(const QString &fileName);

// Appends the bindings of a list file to the binding list. On failure (the
// file cannot be opened or not be read to its end) nothing is appended,
// lastFileError() says why, and the result is false.
bool loadBindingList(const QString &fileName);
