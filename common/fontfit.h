// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QPair>
#include <QStringList>
#include <QVector>

class QComboBox;
class QStyleOptionViewItem;
class QWidget;

// The captions of a window (buttons, labels, group titles, table headers,
// the items of its combo boxes, the largest value of a spin box) that do not
// fit their widgets with the fonts they have now.
QStringList clippedTexts(const QWidget *window);

// Gives a window of fixed geometry the largest font, not above the
// platform's, in which every caption fits: the platform's family first,
// then a narrower one.
void fitFont(QWidget *window);

// The font in which every text fits its room (in pixels) at the font's
// size: the font's own family, else a narrow one that is installed, else the
// narrowest with its letters set a little closer; the font itself when
// nothing fits.
QFont fontFitting(const QFont &font, const QVector<QPair<QString, int>> &textsInRooms);

// Whether an item view draws the text of the item in `option` (its rect the
// room the view gives it) cut short.
bool itemTextCut(const QStyleOptionViewItem &option, const QWidget *view);

// From now on the combo box carries its current text as its tooltip while
// it shows that text cut, and each item of its list that would be cut
// carries its own.
void tipCutTexts(QComboBox *combo);
