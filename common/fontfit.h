// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPair>
#include <QStringList>
#include <QVector>

class QFont;
class QWidget;

// The captions of a window (buttons, labels, group titles, table headers,
// the items of its combo boxes, the largest value of a spin box) that do not
// fit their widgets with the fonts they have now.
QStringList clippedTexts(const QWidget *window);

// Gives a window of fixed geometry the largest font, not above the
// platform's, in which every caption fits: the platform's family first,
// then a narrower one. Windows keeps the fonts the forms were drawn with.
void fitFont(QWidget *window);

// The family in which every text fits its room (in pixels) at the font's
// size: the font's own, else a narrow one that is installed; the font's own
// when none fits.
QString familyFitting(const QFont &font, const QVector<QPair<QString, int>> &textsInRooms);
