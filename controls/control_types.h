#pragma once

namespace MyValueSpin {

// Horizontal placement as the form designer offers it for text controls.
enum TAlignment { taLeftJustify, taRightJustify, taCenter };

} // namespace MyValueSpin
