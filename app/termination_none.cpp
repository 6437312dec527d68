// SPDX-License-Identifier: GPL-3.0-or-later
// No signals to watch here: the program ends through its window alone.
#include "app/termination.h"

void TerminationSignals::blockStopSignals()
{
}

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;
