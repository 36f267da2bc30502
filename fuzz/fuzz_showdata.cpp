// Any datagram applied by the receiver: the metadata file afterwards holds
// exactly the text on air, in UTF-8, and two line ends.
#include "receiver/codepage.h"
#include "receiver/receiver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

quaverlink::Receiver *receiver = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    receiver = new quaverlink::Receiver;
    receiver->fields().setText(quaverlink::Field::lblDefault, QStringLiteral("Idle - Text"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quaverlink;
    const QString item = decode8Bit(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    receiver->applyItem(item);
    const bool isLong = item.size() >= 5;
    const QString onAir = receiver->fields().text(isLong ? Field::lblNow : Field::lblDefault);
    QFile file(QStringLiteral("metadata.txt"));
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != encode8Bit(onAir) + "\r\n\r\n") {
        std::abort();
    }
    if (isLong && receiver->fields().text(Field::lblData) != item) {
        std::abort();
    }
    return 0;
}
