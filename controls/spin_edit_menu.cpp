#include "spin_edit_menu.h"

#include "my_value_spin_edit.h"

#include <QKeySequence>
#include <QMenu>

namespace MyValueSpin {

namespace {

template <typename Slot>
void addCommand(QMenu *menu, const QString &text, QKeySequence::StandardKey key, bool enabled, Slot slot)
{
    const QKeySequence shortcut(key);
    QAction *action = menu->addAction(shortcut.isEmpty() ? text : text + u'\t' + shortcut.toString(QKeySequence::NativeText));
    action->setEnabled(enabled);
    QObject::connect(action, &QAction::triggered, menu, slot);
}

} // namespace

QMenu *CreateSpinEditMenu(TMyValueSpinEdit &edit)
{
    auto *menu = new QMenu(&edit);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const bool editable = !edit.isReadOnly();
    const bool selected = edit.hasSelectedText();
    // The toolkit's own wording, so that its translations apply.
    addCommand(menu, QLineEdit::tr("&Undo"), QKeySequence::Undo, editable && edit.isUndoAvailable(), [&edit] { edit.undo(); });
    addCommand(menu, QLineEdit::tr("&Redo"), QKeySequence::Redo, editable && edit.isRedoAvailable(), [&edit] { edit.redo(); });
    menu->addSeparator();
    addCommand(menu, QLineEdit::tr("Cu&t"), QKeySequence::Cut, edit.CutPasteAllowed() && selected, [&edit] { edit.Cut(); });
    addCommand(menu, QLineEdit::tr("&Copy"), QKeySequence::Copy, selected, [&edit] { edit.copy(); });
    addCommand(menu, QLineEdit::tr("&Paste"), QKeySequence::Paste, edit.CutPasteAllowed(), [&edit] { edit.Paste(); });
    addCommand(menu, QLineEdit::tr("Delete"), QKeySequence::UnknownKey, editable && selected, [&edit] { edit.del(); });
    menu->addSeparator();
    addCommand(menu, QLineEdit::tr("Select All"), QKeySequence::SelectAll, !edit.text().isEmpty(), [&edit] { edit.selectAll(); });
    return menu;
}

} // namespace MyValueSpin
