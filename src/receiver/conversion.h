#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

namespace quaverlink {

// The number rule of the settings: blanks around, an optional sign, decimal
// digits with an optional fraction that is rounded half to even. Anything else,
// or a result outside [minimum, maximum], gives no value.
std::optional<std::int64_t> convertToInteger(QStringView text, std::int64_t minimum, std::int64_t maximum);

} // namespace quaverlink
