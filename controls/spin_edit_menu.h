#pragma once

class QMenu;

namespace MyValueSpin {

class TMyValueSpinEdit;

// The field's context menu: the usual editing commands, with Cut and Paste going through the
// field's own rule. The menu is a child of the field and deletes itself when closed.
QMenu *CreateSpinEditMenu(TMyValueSpinEdit &edit);

} // namespace MyValueSpin
