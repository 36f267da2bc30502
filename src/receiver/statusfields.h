#pragma once

#include <QObject>
#include <QString>

#include <array>

namespace quaverlink {

// The receiver's status fields. What the window shows and what the program
// remembers are the same value: a field's text is the state.
enum class Field {
    lblNow,
    lblLast,
    lblData,
    lblDefault,
    lblDBenabled,
    lblDBserver,
    lblDBuser,
    lblDBpassword,
    lblDBname,
    lblCounter,
    lblVersion,
    lblCopyright,
};
inline constexpr int kFieldCount = int(Field::lblCopyright) + 1;

QString fieldName(Field field);
QString designTimeText(Field field);

class StatusFields final : public QObject
{
    Q_OBJECT

public:
    explicit StatusFields(QObject *parent = nullptr);

    const QString &text(Field field) const { return m_texts[size_t(field)]; }
    void setText(Field field, const QString &text);

Q_SIGNALS:
    void textChanged(quaverlink::Field field, const QString &text);

private:
    std::array<QString, kFieldCount> m_texts;
};

} // namespace quaverlink
