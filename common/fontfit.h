// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

class QWidget;

// The captions of a window (buttons, labels, group titles, table headers,
// the items of its combo boxes, the largest value of a spin box) that do not
// fit their widgets with the fonts they have now.
QStringList clippedTexts(const QWidget *window);

// Gives a window of fixed geometry the largest font, not above the
// platform's, in which every caption fits: the platform's family first,
// then a narrower one. Windows keeps the fonts the forms were drawn with.
void fitFont(QWidget *window);
