// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/fontfit.h"

#include <algorithm>
#include <cmath>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QHash>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOption>
#include <QTextDocument>
#include <QTableWidget>

#include "common/narrowfonts.h"

namespace {

// QLineEdit's own horizontal margin around its text.
constexpr int lineEditMargin = 2;
// No caption is made smaller than this to fit.
constexpr qreal smallestPointSize = 7;

int textWidth(const QWidget *widget, const QString &text)
{
    return widget->fontMetrics().horizontalAdvance(text);
}

// Room for the text of a push button: its width less the style's margins
// and frame, as the style draws it.
int buttonTextRoom(const QPushButton *button)
{
    const QStyle *style = button->style();
    return button->width() - style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button)
        - 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
}

// The largest size, in steps of half a point up to `largest`, at which
// `width` (measured at `largest`) and `extra` stay within `room`. Widths grow
// with the size almost in proportion, so one measure at the largest size
// tells each smaller one.
qreal sizeFor(int width, int extra, int room, qreal largest)
{
    if (width <= 0 || width + extra <= room)
        return largest;
    return std::floor(largest * (room - extra) / width * 2) / 2;
}

void checkHeader(const QHeaderView *header, const QAbstractItemModel *model, QStringList &clipped)
{
    const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    for (int section = 0; section < header->count(); ++section) {
        const QString text = model->headerData(section, header->orientation()).toString();
        if (!header->isSectionHidden(section) && textWidth(header, text) + margin > header->sectionSize(section))
            clipped.append(text);
    }
}

// A table keeps its own point size for the bindings (and takes the window's
// family); only its header, if need be, gets a smaller one, so that the
// column titles fit the columns. The sizes are told from the titles' texts;
// the header gets only the one chosen, with `family`, the window's to be,
// before the window gets it, so that the header is laid out once.
void fitHeaders(QWidget *window, const QString &family)
{
    for (QTableWidget *table : window->findChildren<QTableWidget *>()) {
        QHeaderView *header = table->horizontalHeader();
        const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        QFont font = table->font();
        font.setFamily(family);
        const qreal largest = font.pointSizeF();
        const QFontMetrics metrics(font);
        qreal size = largest;
        for (int section = 0; section < header->count(); ++section) {
            if (header->isSectionHidden(section))
                continue;
            const QString text = table->model()->headerData(section, header->orientation()).toString();
            size = std::min(size, sizeFor(metrics.horizontalAdvance(text), margin, header->sectionSize(section), largest));
        }
        font.setPointSizeF(std::max(size, smallestPointSize));
        // Confirmed on the titles in that font; a size that rounds badly
        // gives way to the next smaller one. The header gets the font once.
        const auto clipped = [&](const QFont &candidate) {
            const QFontMetrics exact(candidate);
            for (int section = 0; section < header->count(); ++section) {
                const QString text = table->model()->headerData(section, header->orientation()).toString();
                if (!header->isSectionHidden(section)
                    && exact.horizontalAdvance(text) + margin > header->sectionSize(section))
                    return true;
            }
            return false;
        };
        while (font.pointSizeF() > smallestPointSize && clipped(font))
            font.setPointSizeF(font.pointSizeF() - 0.5);
        header->setFont(font);
    }
}

// One caption of a window and its room: it fits a font when its width in
// that font and `extra` (what the widget draws beside it) are within `room`.
struct Caption {
    const QWidget *widget;
    QString text;
    int room;
    int extra;
};

// The captions of a window (buttons, labels, group titles, the items of its
// fixed combo boxes, the largest value of a spin box; rich and wrapped text
// lay themselves out) with their rooms as the window's current font leaves
// them.
QList<Caption> captionsOf(const QWidget *window)
{
    QList<Caption> captions;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        if (const auto *button = qobject_cast<const QPushButton *>(w)) {
            captions.append({button, button->text(), buttonTextRoom(button), 0});
        } else if (const auto *radio = qobject_cast<const QRadioButton *>(w)) {
            captions.append({radio, radio->text(), radio->width(), radio->sizeHint().width() - textWidth(radio, radio->text())});
        } else if (const auto *label = qobject_cast<const QLabel *>(w)) {
            if (!label->wordWrap() && !Qt::mightBeRichText(label->text()))
                captions.append({label, label->text(), label->contentsRect().width(), 0});
        } else if (const auto *box = qobject_cast<const QGroupBox *>(w)) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxLabel;
            const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxLabel, box);
            captions.append({box, box->title(), box->width(), label.right() - textWidth(box, box->title())});
        } else if (const auto *spin = qobject_cast<const QSpinBox *>(w)) {
            QStyleOptionSpinBox option;
            option.initFrom(spin);
            option.frame = spin->hasFrame();
            option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
            const QRect field = spin->style()->subControlRect(QStyle::CC_SpinBox, &option,
                                                              QStyle::SC_SpinBoxEditField, spin);
            captions.append({spin, QString::number(spin->maximum()), field.width(), 2 * lineEditMargin});
        } else if (const auto *combo = qobject_cast<const QComboBox *>(w)) {
            if (combo->isEditable() || !combo->isEnabled())
                continue;
            QStyleOptionComboBox option;
            option.initFrom(combo);
            const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                               QStyle::SC_ComboBoxEditField, combo);
            for (int i = 0; i < combo->count(); ++i)
                captions.append({combo, combo->itemText(i), field.width(), 0});
        }
    }
    return captions;
}

int clippedBy(const QList<Caption> &captions, const QFont &font)
{
    const QFontMetrics metrics(font);
    return static_cast<int>(std::count_if(captions.cbegin(), captions.cend(), [&metrics](const Caption &c) {
        return metrics.horizontalAdvance(c.text) + c.extra > c.room;
    }));
}

// The platform's family, then narrow ones that the platform's desktops
// commonly have, where they are installed.
QStringList candidateFamilies(const QFont &platform)
{
    // The fonts installed do not change while the program runs.
    static QHash<QString, QStringList> known;
    const auto found = known.constFind(platform.family());
    if (found != known.constEnd())
        return *found;
    QStringList families{platform.family()};
    for (const QString &narrow : narrowFamilies()) {
        if (!families.contains(narrow) && QFontInfo(QFont(narrow)).family() == narrow)
            families.append(narrow);
    }
    known.insert(platform.family(), families);
    return families;
}


// The largest size, in steps of half a point from the platform's down, at
// which every caption would fit in `family`, told from one measure.
qreal estimatedSize(const QFont &platform, const QString &family, const QList<Caption> &captions)
{
    QFont font = platform;
    font.setFamily(family);
    const qreal largest = platform.pointSizeF();
    const QFontMetrics metrics(font);
    qreal size = largest;
    for (const Caption &c : captions)
        size = std::min(size, sizeFor(metrics.horizontalAdvance(c.text), c.extra, c.room, largest));
    return size;
}

// The largest size wins; at one size the platform's own family first. Sizes
// below the smallest are left to the fitting that tries them.
QFont estimatedBestFont(const QFont &platform, const QList<Caption> &captions)
{
    QFont best = platform;
    qreal bestSize = 0;
    for (const QString &family : candidateFamilies(platform)) {
        const qreal size = estimatedSize(platform, family, captions);
        if (size > bestSize) {
            bestSize = size;
            best.setFamily(family);
            best.setPointSizeF(std::max(size, smallestPointSize));
        }
    }
    return best;
}

// The same choice, made by giving each candidate to the window and asking it.
void fitFontByTrying(QWidget *window, const QFont &platform)
{
    const QStringList families = candidateFamilies(platform);
    QFont best = platform;
    int fewestClipped = -1;
    for (qreal size = platform.pointSizeF(); size >= smallestPointSize; size -= 0.5) {
        for (const QString &family : families) {
            QFont font = platform;
            font.setFamily(family);
            font.setPointSizeF(size);
            fitHeaders(window, family);
            window->setFont(font);
            const int clipped = clippedTexts(window).size();
            if (clipped == 0)
                return;
            if (fewestClipped < 0 || clipped < fewestClipped) {
                fewestClipped = clipped;
                best = font;
            }
        }
    }
    fitHeaders(window, best.family());
    window->setFont(best);
}

} // namespace

QStringList clippedTexts(const QWidget *window)
{
    QStringList clipped;
    for (const Caption &c : captionsOf(window)) {
        if (textWidth(c.widget, c.text) + c.extra > c.room)
            clipped.append(c.text);
    }
    for (const QTableWidget *table : window->findChildren<QTableWidget *>())
        checkHeader(table->horizontalHeader(), table->model(), clipped);
    return clipped;
}

void fitFont(QWidget *window)
{
    const QFont platform = window->font();
    // Each candidate font is measured on the captions' texts alone, not by
    // giving it to the window (a font change goes to every widget and costs
    // ten times more): the window gets the font chosen, and the window's own
    // measure confirms it. Only when it does not (hinting rounds widths, or
    // a room changes with the font) are the fonts tried one by one.
    const QList<Caption> captions = captionsOf(window);
    if (clippedBy(captions, platform) != 0) {
        const QFont best = estimatedBestFont(platform, captions);
        fitHeaders(window, best.family());
        window->setFont(best);
        if (!clippedTexts(window).isEmpty())
            fitFontByTrying(window, platform);
    } else {
        fitHeaders(window, platform.family());
    }
}

QFont fontFitting(const QFont &font, const QVector<QPair<QString, int>> &textsInRooms)
{
    // Text is laid out in fractions of a pixel: a width rounded down would
    // be judged to fit where it is cut.
    const auto widest = [&textsInRooms](const QFont &candidate) {
        const QFontMetricsF metrics(candidate);
        qreal over = -1e9;
        for (const QPair<QString, int> &t : textsInRooms)
            over = std::max(over, metrics.horizontalAdvance(t.first) - t.second);
        return over;
    };
    QFont closest = font;
    qreal closestOver = 1e9;
    for (const QString &family : candidateFamilies(font)) {
        QFont candidate = font;
        candidate.setFamily(family);
        const qreal over = widest(candidate);
        if (over <= 0)
            return candidate;
        if (over < closestOver) {
            closestOver = over;
            closest = candidate;
        }
    }
    // Where the narrowest family misses by a pixel or so, its letters set a
    // little closer keep the size; a third of a pixel is not seen.
    for (const qreal spacing : {-0.1, -0.2, -0.3}) {
        closest.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
        if (widest(closest) <= 0)
            return closest;
    }
    return font;
}

bool itemTextCut(const QStyleOptionViewItem &option, const QWidget *view)
{
    if (option.text.isEmpty())
        return false;
    const QStyle *style = view ? view->style() : QApplication::style();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, view);
    // The style keeps this margin on either side of the text.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return QFontMetricsF(option.font).horizontalAdvance(option.text) > text.width() - 2 * margin;
}

namespace {

// The room a combo box gives its current text: the edit field less the
// pixel the style keeps on either side.
int comboTextRoom(const QComboBox *combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    return combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo).width()
        - 2;
}

void tipCut(QComboBox *combo)
{
    const int room = comboTextRoom(combo);
    const QFontMetricsF metrics(combo->font());
    const auto cut = [&](const QString &text) { return metrics.horizontalAdvance(text) > room; };
    const QString current = combo->currentText();
    combo->setToolTip(cut(current) ? current : QString());
    for (int i = 0; i < combo->count(); ++i) {
        const QString text = combo->itemText(i);
        const QString tip = cut(text) ? text : QString();
        if (combo->itemData(i, Qt::ToolTipRole).toString() != tip)
            combo->setItemData(i, tip.isEmpty() ? QVariant() : QVariant(tip), Qt::ToolTipRole);
    }
}

} // namespace

void tipCutTexts(QComboBox *combo)
{
    QObject::connect(combo, &QComboBox::currentTextChanged, combo, [combo] { tipCut(combo); });
    QObject::connect(combo->model(), &QAbstractItemModel::rowsInserted, combo, [combo] { tipCut(combo); });
    // Items get their texts after they are inserted; the tips set here come
    // back as changes of another role.
    QObject::connect(combo->model(), &QAbstractItemModel::dataChanged, combo,
                     [combo](const QModelIndex &, const QModelIndex &, const QVector<int> &roles) {
                         if (roles.isEmpty() || roles.contains(Qt::DisplayRole))
                             tipCut(combo);
                     });
    tipCut(combo);
}
