// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/fontfit.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
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

void checkHeader(const QHeaderView *header, const QAbstractItemModel *model, QStringList &clipped)
{
    const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    for (int section = 0; section < header->count(); ++section) {
        const QString text = model->headerData(section, header->orientation()).toString();
        if (!header->isSectionHidden(section) && textWidth(header, text) + margin > header->sectionSize(section))
            clipped.append(text);
    }
}

// A table keeps its own point size for the bindings; only its header, if
// need be, gets a smaller one, so that the column titles fit the columns.
void fitHeaders(QWidget *window)
{
    for (QTableWidget *table : window->findChildren<QTableWidget *>()) {
        QHeaderView *header = table->horizontalHeader();
        QFont font = table->font();
        header->setFont(font);
        for (;;) {
            QStringList clipped;
            checkHeader(header, table->model(), clipped);
            if (clipped.isEmpty() || font.pointSizeF() <= smallestPointSize)
                break;
            font.setPointSizeF(font.pointSizeF() - 0.5);
            header->setFont(font);
        }
    }
}

} // namespace

QStringList clippedTexts(const QWidget *window)
{
    QStringList clipped;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        if (const auto *button = qobject_cast<const QPushButton *>(w)) {
            if (textWidth(button, button->text()) > buttonTextRoom(button))
                clipped.append(button->text());
        } else if (const auto *radio = qobject_cast<const QRadioButton *>(w)) {
            if (radio->sizeHint().width() > radio->width())
                clipped.append(radio->text());
        } else if (const auto *label = qobject_cast<const QLabel *>(w)) {
            // Rich text and wrapped text lay themselves out.
            if (!label->wordWrap() && !Qt::mightBeRichText(label->text())
                && textWidth(label, label->text()) > label->contentsRect().width())
                clipped.append(label->text());
        } else if (const auto *box = qobject_cast<const QGroupBox *>(w)) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxLabel;
            const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxLabel, box);
            if (label.right() > box->width())
                clipped.append(box->title());
        } else if (const auto *spin = qobject_cast<const QSpinBox *>(w)) {
            QStyleOptionSpinBox option;
            option.initFrom(spin);
            option.frame = spin->hasFrame();
            option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
            const QRect field = spin->style()->subControlRect(QStyle::CC_SpinBox, &option,
                                                              QStyle::SC_SpinBoxEditField, spin);
            const QString largest = QString::number(spin->maximum());
            // The line edit inside keeps a small margin on either side.
            if (textWidth(spin, largest) + 2 * lineEditMargin > field.width())
                clipped.append(largest);
        } else if (const auto *combo = qobject_cast<const QComboBox *>(w)) {
            // Fixed items only; the port list changes with every search.
            if (combo->isEditable() || !combo->isEnabled())
                continue;
            for (int i = 0; i < combo->count(); ++i) {
                QStyleOptionComboBox option;
                option.initFrom(combo);
                const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                                   QStyle::SC_ComboBoxEditField, combo);
                if (textWidth(combo, combo->itemText(i)) > field.width())
                    clipped.append(combo->itemText(i));
            }
        } else if (const auto *table = qobject_cast<const QTableWidget *>(w)) {
            checkHeader(table->horizontalHeader(), table->model(), clipped);
        }
    }
    return clipped;
}

void fitFont(QWidget *window)
{
#ifdef Q_OS_WIN
    Q_UNUSED(window)
#else
    const QFont platform = window->font();
    QStringList families{platform.family()};
    // Narrow families that Linux desktops commonly have.
    const QStringList installed = QFontDatabase().families();
    for (const QString &narrow : {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                                  QStringLiteral("Noto Sans Condensed")}) {
        if (installed.contains(narrow) && !families.contains(narrow))
            families.append(narrow);
    }
    QFont best = platform;
    int fewestClipped = -1;
    // The largest size wins; at one size the platform's own family first.
    for (qreal size = platform.pointSizeF(); size >= smallestPointSize; size -= 0.5) {
        for (const QString &family : qAsConst(families)) {
            QFont font = platform;
            font.setFamily(family);
            font.setPointSizeF(size);
            window->setFont(font);
            fitHeaders(window);
            const int clipped = clippedTexts(window).size();
            if (clipped == 0)
                return;
            if (fewestClipped < 0 || clipped < fewestClipped) {
                fewestClipped = clipped;
                best = font;
            }
        }
    }
    window->setFont(best);
    fitHeaders(window);
#endif
}
