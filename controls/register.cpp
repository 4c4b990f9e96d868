#include "register.h"

namespace MyValueSpin {

TComponentRegistration Register()
{
    return {QStringLiteral("Parlux"),
            {QStringLiteral("TMyValueSpinEdit"), QStringLiteral("TMyDoubleSpinEdit"),
             QStringLiteral("TMyCheckBox"), QStringLiteral("TShadowLabel")}};
}

} // namespace MyValueSpin
