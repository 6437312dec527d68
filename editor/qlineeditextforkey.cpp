// SPDX-License-Identifier: GPL-3.0-or-later
#include "editor/qlineeditextforkey.h"

#include <QKeyEvent>
#include <QKeySequence>

#include "control/padinputs.h"
#include "control/virtualkey.h"

namespace {

constexpr int backspaceCode = 8;

// "|" splits a list-file line and CR or LF end it, so a key text holding any
// of them would not survive a save; such keys get a readable name instead.
bool storableInListFile(const QString &text)
{
    return !text.contains(QLatin1Char('|')) && !text.contains(QLatin1Char('\r'))
        && !text.contains(QLatin1Char('\n'));
}

QString standInText(const QKeyEvent *event)
{
    // Shift is part of the produced character itself, so it is left out.
    const Qt::KeyboardModifiers modifiers =
        event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    QString name = QKeySequence(int(modifiers) | event->key()).toString(QKeySequence::PortableText);
    name.replace(QLatin1Char('|'), QLatin1String("Bar"));
    name.remove(QLatin1Char('\r'));
    name.remove(QLatin1Char('\n'));
    if (name.isEmpty())
        name = QStringLiteral("Key %1").arg(virtualKeyCode(event));
    return name;
}

} // namespace

QLineEditExtForKey::QLineEditExtForKey(QWidget *parent)
    : QLineEdit(parent)
{
}

void QLineEditExtForKey::keyPressEvent(QKeyEvent *event)
{
    // Only a fresh press names a key. A repeat comes from a key held since
    // before (the key that drove a motor when the editor opened, say), which
    // must not become the binding's key by itself. On X11 the keyboard guard
    // marks a key that was down when the window got the keyboard the same way.
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    capturedCode = static_cast<int>(virtualKeyCode(event));
    capturedText = storableInListFile(event->text()) ? event->text() : standInText(event);
    setText(capturedText);
    setToolTip(QString());
    // Backspace is captured like any key, but shows nothing, so the editor
    // refuses it as a binding.
    if (capturedCode == backspaceCode)
        clear();
    event->accept();
}

bool QLineEditExtForKey::event(QEvent *event)
{
    if (event->type() != PadInputEvent::eventType())
        return QLineEdit::event(event);
    const auto *input = static_cast<const PadInputEvent *>(event);
    capturedCode = static_cast<int>(input->code);
    capturedText = pad::inputText(input->code);
    setText(capturedText);
    setToolTip(input->padName);
    event->accept();
    return true;
}
