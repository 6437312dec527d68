// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide objects that the list code uses, for the fuzz targets
// that link that code alone (the program defines them, with the others, in
// app/processobjects.cpp).
#include "common/processobjects.h"

#include "bindings/bindinglist.h"

BindingList &bindingList()
{
    static BindingList list;
    return list;
}

QString &lastFileError()
{
    static QString error;
    return error;
}

QString &lastFileReason()
{
    static QString reason;
    return reason;
}
