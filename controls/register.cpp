#include "register.h"

#include "my_check_box.h"
#include "my_double_spin_edit.h"
#include "my_value_spin_edit.h"
#include "shadow_label.h"

namespace MyValueSpin {

namespace {

// A class's name without its namespace, as the palette shows it. Taken from the class
// itself so that the palette cannot name a class that is not there.
QString paletteName(const QMetaObject &meta)
{
    const QString name = QString::fromLatin1(meta.className());
    const qsizetype scope = name.lastIndexOf(QStringLiteral("::"));
    return scope < 0 ? name : name.mid(scope + 2);
}

} // namespace

TComponentRegistration Register()
{
    return {QStringLiteral("Parlux"),
            {paletteName(TMyValueSpinEdit::staticMetaObject), paletteName(TMyDoubleSpinEdit::staticMetaObject),
             paletteName(TMyCheckBox::staticMetaObject), paletteName(ShadowLabel::TShadowLabel::staticMetaObject)}};
}

} // namespace MyValueSpin
