#pragma once

#include <QString>

namespace quaverlink {

// u"..."_s makes a QString at compile time, in the code and in its tests alike.
using namespace Qt::StringLiterals;

} // namespace quaverlink
