#include "statusfields.h"

namespace quaverlink {
namespace {

struct FieldDefinition
{
    const char16_t *name;
    const char16_t *designTimeText;
};

constexpr std::array<FieldDefinition, kFieldCount> kFields = {{
    {u"lblNow", u"Test"},
    {u"lblLast", u"Test"},
    {u"lblData", u"No Data"},
    {u"lblDefault", u"No Data"},
    {u"lblDBenabled", u"No Data"},
    {u"lblDBserver", u"No Data"},
    {u"lblDBuser", u"No Data"},
    {u"lblDBpassword", u"No Data"},
    {u"lblDBname", u"No Data"},
    {u"lblCounter", u"9999"},
    {u"lblVersion", u"V 1.11"},
    {u"lblCopyright", u"Quaverlink now-playing receiver"},
}};

} // namespace

QString fieldName(Field field)
{
    return QString::fromUtf16(kFields[size_t(field)].name);
}

QString designTimeText(Field field)
{
    return QString::fromUtf16(kFields[size_t(field)].designTimeText);
}

StatusFields::StatusFields(QObject *parent)
    : QObject(parent)
{
    for (int i = 0; i < kFieldCount; ++i) {
        m_texts[size_t(i)] = designTimeText(Field(i));
    }
}

void StatusFields::setText(Field field, const QString &text)
{
    QString &stored = m_texts[size_t(field)];
    if (stored == text) {
        return;
    }
    stored = text;
    Q_EMIT textChanged(field, stored);
}

} // namespace quaverlink
