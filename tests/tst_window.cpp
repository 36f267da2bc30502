#include "app/metadatawindow.h"
#include "receiver/receiver.h"

#include <QAccessible>
#include <QLabel>
#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

class WindowTest final : public QObject
{
    Q_OBJECT

    Receiver m_receiver;
    std::unique_ptr<MetaDataWindow> m_window;

    QLabel *label(const char *name) const { return m_window->findChild<QLabel *>(QLatin1String(name)); }
    void show(Field field, const QString &text)
    {
        m_receiver.fields().setText(field, text);
        QTest::qWait(60); // the view redraws at most 25 times a second
    }

private Q_SLOTS:
    void init()
    {
        m_window = std::make_unique<MetaDataWindow>(m_receiver);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup() { m_window.reset(); }

    void currentTextReachesTheScreenInDarkRed()
    {
        show(Field::lblNow, u"Artist - Title"_s);
        QCOMPARE(label("lblNow")->text(), u"Artist - Title"_s);
        const QImage image = label("lblNow")->grab().toImage();
        bool red = false;
        for (int y = 0; y < image.height() && !red; ++y) {
            for (int x = 0; x < image.width() && !red; ++x) {
                red = image.pixelColor(x, y) == QColor(192, 0, 0);
            }
        }
        QVERIFY(red);
    }

    void passwordIsNeverDrawnOrExposed()
    {
        m_window->resize(MetaDataWindow::kFullClientSize);
        show(Field::lblDBpassword, u"short"_s);
        const QImage withShort = m_window->grab().toImage();
        const QString secret = u"Much-Longer-Secret-Password"_s;
        show(Field::lblDBpassword, secret);
        // Not one pixel depends on the password.
        QCOMPARE(m_window->grab().toImage(), withShort);
        QAccessible::setActive(true);
        for (QWidget *widget : m_window->findChildren<QWidget *>()) {
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
            QVERIFY(accessible && !widget->toolTip().contains(secret));
            for (auto role : {QAccessible::Name, QAccessible::Description, QAccessible::Value, QAccessible::Help}) {
                QVERIFY2(!accessible->text(role).contains(secret), qPrintable(widget->objectName()));
            }
        }
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
