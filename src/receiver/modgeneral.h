#pragma once

#include <QString>

// The part of text before its first NUL character; the whole text when it
// holds none.
QString TrimAtNul(const QString &text);
