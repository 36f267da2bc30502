#include "app/metadatawindow.h"
#include "receiver/receiver.h"

#include <QAccessible>
#include <QLabel>
#include <QtTest>

using namespace quaverlink;

class WindowTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void currentTextIsLargeBoldDarkRed();
    void overlapsStackAsDesigned();
    void passwordIsNeverDrawnOrExposed();
    void longAndMarkupTextsChangeNoGeometry();

private:
    QWidget *child(const char *name) const { return m_window->findChild<QWidget *>(QLatin1String(name)); }

    std::unique_ptr<Receiver> m_receiver;
    std::unique_ptr<MetaDataWindow> m_window;
};

void WindowTest::init()
{
    m_receiver = std::make_unique<Receiver>();
    m_window = std::make_unique<MetaDataWindow>(*m_receiver);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void WindowTest::cleanup()
{
    m_window.reset();
    m_receiver.reset();
}

void WindowTest::currentTextIsLargeBoldDarkRed()
{
    auto *now = static_cast<QLabel *>(child("lblNow"));
    QCOMPARE(now->palette().color(QPalette::WindowText), QColor(192, 0, 0));
    QVERIFY(now->font().bold());
    QCOMPARE(now->font().pointSizeF(), 13.5);
    auto *last = static_cast<QLabel *>(child("lblLast"));
    QVERIFY(!last->font().bold());
    QCOMPARE(last->palette().color(QPalette::WindowText), m_window->palette().color(QPalette::Dark));

    m_receiver->fields().setText(Field::lblNow, u"Artist - Title"_qs);
    QTRY_COMPARE(now->text(), u"Artist - Title"_qs);
    // The red really reaches the screen.
    const QImage image = now->grab().toImage();
    bool red = false;
    for (int y = 0; y < image.height() && !red; ++y) {
        for (int x = 0; x < image.width() && !red; ++x) {
            red = image.pixelColor(x, y) == QColor(192, 0, 0);
        }
    }
    QVERIFY(red);
}

void WindowTest::overlapsStackAsDesigned()
{
    m_receiver->fields().setText(Field::lblLast, QString(300, u'W'));
    m_receiver->fields().setText(Field::lblCopyright, QString(300, u'W'));
    QTest::qWait(100);
    QCOMPARE(m_window->childAt(child("lblCounter")->geometry().center())->objectName(), u"lblCounter"_qs);
    QCOMPARE(m_window->childAt(child("lblVersion")->geometry().center())->objectName(), u"lblVersion"_qs);
    m_window->resize(MetaDataWindow::kFullClientSize);
    QCOMPARE(m_window->childAt(child("Label11")->geometry().center())->objectName(), u"Label11"_qs);
    QCOMPARE(static_cast<QLabel *>(child("Label11"))->text(), u"**********"_qs);
}

void WindowTest::passwordIsNeverDrawnOrExposed()
{
    m_window->resize(MetaDataWindow::kFullClientSize);
    StatusFields &fields = m_receiver->fields();
    fields.setText(Field::lblDBpassword, u"short"_qs);
    QTest::qWait(100);
    const QImage withShort = m_window->grab().toImage();
    const QString secret = u"Much-Longer-Secret-Password"_qs;
    fields.setText(Field::lblDBpassword, secret);
    QCOMPARE(fields.text(Field::lblDBpassword), secret);
    QTest::qWait(100);
    // Not one pixel depends on the password.
    QCOMPARE(m_window->grab().toImage(), withShort);

    QAccessible::setActive(true);
    for (QWidget *widget : m_window->findChildren<QWidget *>()) {
        QVERIFY(!widget->toolTip().contains(secret));
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible);
        for (QAccessible::Text role : {QAccessible::Name, QAccessible::Description, QAccessible::Value,
                                       QAccessible::Help}) {
            QVERIFY2(!accessible->text(role).contains(secret), qPrintable(widget->objectName()));
        }
    }
    QVERIFY(!child("lblDBpassword")->isVisible());
}

void WindowTest::longAndMarkupTextsChangeNoGeometry()
{
    QList<QRect> before;
    const QList<QWidget *> widgets = m_window->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        before << widget->geometry();
    }
    const QString longText = QString(150, u'A') + u" - "_qs + QString(147, u'B');
    m_receiver->fields().setText(Field::lblNow, longText);
    m_receiver->fields().setText(Field::lblLast, u"<b>Bold</b> & <i>not</i>\nsecond line"_qs);
    QTRY_COMPARE(static_cast<QLabel *>(child("lblNow"))->text(), longText);
    for (qsizetype i = 0; i < widgets.size(); ++i) {
        QCOMPARE(widgets.at(i)->geometry(), before.at(i));
    }
    QCOMPARE(static_cast<QLabel *>(child("lblLast"))->textFormat(), Qt::PlainText);
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
