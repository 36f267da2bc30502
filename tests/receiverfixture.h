#pragma once

#include "receiver/frmmetadata.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QStringList>

#include <memory>

namespace testsupport {

// A receiver in its own temporary working folder, on free ports, with the
// start-up message box replaced by a recorder.
struct ReceiverFixture
{
    WorkingFolder folder;
    Settings settings;
    quint16 senderPort = freeUdpPort();
    std::unique_ptr<quaverlink::frmMetaData> receiver = std::make_unique<quaverlink::frmMetaData>();
    QStringList messages;
    QStringList applied;

    ReceiverFixture()
    {
        settings.listenPort = QByteArray::number(freeUdpPort());
        receiver->setSenderLocalPort(senderPort);
        receiver->setStartupFailureHandler([this](const QString &message) { messages << message; });
        QObject::connect(receiver.get(), &quaverlink::frmMetaData::itemApplied,
                         [this](const QString &item) { applied << item; });
    }

    quint16 listenPort() const { return quint16(settings.listenPort.toUInt()); }
    QString field(quaverlink::Field f) const { return receiver->fields().text(f); }

    bool start()
    {
        writeBytes(folder.file(QStringLiteral("Quaverlink.ini")), settings.ini());
        return receiver->Form_Load();
    }

    // Waits until `count` items in all have been applied.
    bool waitForItems(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return applied.size() >= count; }, timeoutMs);
    }

    QByteArray metadata() const { return readBytes(folder.file(QStringLiteral("metadata.txt"))); }
};

} // namespace testsupport
