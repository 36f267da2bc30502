// Any bytes as a settings file: every lookup ends, stays within 29
// characters and never leaves half of a surrogate pair.
#include "settings/settings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const IniFile settings = IniFile::fromContent(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                                                  QStringLiteral("/default/working/directory/that/is/long"));
    static const char16_t *const keys[][2] = {
        {u"Metadata", u"RDlistenport"},
        {u"Metadata", u"IdleString"},
        {u"Database", u"DBpassword"},
        {u"\u00e9", u"\u00e9"},
    };
    for (const auto &key : keys) {
        const QString value = settings.value(QString::fromUtf16(key[0]), QString::fromUtf16(key[1]));
        if (value.size() > kSettingMaxLength || (!value.isEmpty() && value.back().isHighSurrogate())) {
            std::abort();
        }
    }
    return 0;
}
