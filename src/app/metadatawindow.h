#pragma once

#include "receiver/statusfields.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <array>

class QLabel;

namespace quaverlink {

class Station;

// The receiver's window: draws the status fields where they were designed to
// be. It keeps no state of its own; every text comes from the station.
class MetaDataWindow final : public QWidget
{
    Q_OBJECT

public:
    // The client area that first shows: the current and previous rows, the
    // counter, the notice and the version. The settings band lies below it.
    static constexpr QSize kInitialClientSize {532, 72};
    static constexpr QSize kFullClientSize {672, 248};

    explicit MetaDataWindow(Station &station, QWidget *parent = nullptr);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void markChanged(Field field);
    void showChangedFields();
    void showText(QLabel *label, const QString &text);
    void alignToVisiblePart(QLabel *label);
    int visibleRight(const QLabel *label) const;

    Station &m_station;
    std::array<QLabel *, kFieldCount> m_fieldLabels {};
    std::array<bool, kFieldCount> m_changed {};
    std::array<Qt::Alignment, kFieldCount> m_designedAlignment {};
    QLabel *m_outputs = nullptr;
    QTimer m_showTimer;
    QElapsedTimer m_sinceShown;
};

} // namespace quaverlink
