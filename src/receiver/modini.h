#pragma once

#include <QByteArrayView>
#include <QString>

namespace quaverlink {

// Every setting is read through a buffer of this many characters, one of which
// the terminator takes: a value is at most 29 characters long.
inline constexpr int kSettingBufferSize = 30;

// Private-profile lookup, by the rules the settings file has always had:
// section and key names match without regard to case; the value is the text
// after the first "=" without blanks or tabs around it and without one pair of
// matching enclosing quotes; the first of duplicate sections or keys wins;
// lines starting with ";" are comments. A missing or unreadable file, section
// or key gives defaultText. The result is cut to size - 1 characters.
QString readPrivateProfileString(const QString &section, const QString &key,
                                 const QString &defaultText, int size, const QString &path);

// The same lookup over a settings file's bytes.
QString profileString(QByteArrayView content, const QString &section, const QString &key,
                      const QString &defaultText, int size);

} // namespace quaverlink

// One setting from the settings file at settingsPath; the working-directory
// text stands in for whatever is missing.
QString ReadSetting(const QString &section, const QString &key,
                    const QString &settingsPath, const QString &workingDirectory);
