#include "app/metadatawindow.h"
#include "service/station.h"

#include <QAccessible>
#include <QLabel>
#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

class WindowTest final : public QObject
{
    Q_OBJECT

    Station m_station;
    std::unique_ptr<MetaDataWindow> m_window;

    QLabel *label(const char *name) const { return m_window->findChild<QLabel *>(QLatin1String(name)); }
    void show(Field field, const QString &text)
    {
        m_station.receiver().fields().setText(field, text);
        QTest::qWait(60); // the view redraws at most 25 times a second
    }

private Q_SLOTS:
    void init()
    {
        m_window = std::make_unique<MetaDataWindow>(m_station);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup() { m_window.reset(); }

    void captionsAreTheDesignersOwn()
    {
        const std::pair<const char *, const char16_t *> captions[]
            = {{"Label2", u"Current:"},      {"Label3", u"Previous:"},    {"Label1", u"Last Data RX:"},
               {"Label4", u"Default Text:"}, {"Label6", u"DB Enabled:"},  {"Label7", u"DB Server:"},
               {"Label8", u"DB User:"},      {"Label9", u"DB Password:"}, {"Label10", u"DB Name:"},
               {"Label11", u"**********"}};
        for (const auto &[name, text] : captions) {
            QCOMPARE(label(name)->text(), QString::fromUtf16(text));
        }
    }

    void currentTextReachesTheScreenInDarkRed()
    {
        show(Field::lblNow, u"Artist - Title"_s);
        QCOMPARE(label("lblNow")->text(), u"Artist - Title"_s);
        const QImage image = label("lblNow")->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
        QVERIFY(std::count(pixels, pixels + image.sizeInBytes() / 4, qRgb(192, 0, 0)) > 0);
    }

    // The first word is seen when changing only it changes the picture, and
    // not under the counter, which lies over the previous text's end. Digits
    // share one width, so nothing else moves.
    void beginningOfEveryTitleIsVisible_data()
    {
        QTest::addColumn<QString>("rest");
        QTest::newRow("long left-to-right") << u" Artist - "_s + QString(300, u'A');
        QTest::newRow("long right-to-left") << QString(30, u' ').replace(u" "_s, u" \u0645\u0631\u062d\u0628\u0627"_s);
        QTest::newRow("short right-to-left") << u" \u05e9\u05dc\u05d5\u05dd"_s;
    }
    void beginningOfEveryTitleIsVisible()
    {
        QFETCH(QString, rest);
        const QRect counter = label("lblCounter")->geometry();
        for (const QSize size : {MetaDataWindow::kInitialClientSize, MetaDataWindow::kFullClientSize}) {
            m_window->resize(size);
            for (const Field field : {Field::lblNow, Field::lblLast}) {
                show(field, u"1111"_s + rest);
                const QImage one = m_window->grab().toImage();
                show(field, u"7777"_s + rest);
                const QImage seven = m_window->grab().toImage();
                QRect changed;
                for (int y = 0; y < one.height(); ++y) {
                    for (int x = 0; x < one.width(); ++x) {
                        changed |= one.pixel(x, y) != seven.pixel(x, y) ? QRect(x, y, 1, 1) : QRect();
                    }
                }
                const QString where = u"%1 at %2 px"_s.arg(fieldName(field)).arg(size.width());
                QVERIFY2(!changed.isEmpty() && !changed.intersects(counter), qPrintable(where));
            }
        }
    }

    void japaneseTitlesDrawGlyphs()
    {
        show(Field::lblNow, u"\u6771\u4eac\u30bf\u30ef\u30fc"_s);
        const QImage tokyo = m_window->grab().toImage();
        show(Field::lblNow, u"\u5927\u962a\u57ce\u516c\u5712"_s);
        QVERIFY2(m_window->grab().toImage() != tokyo, "both titles drew the same boxes: no font covers them");
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
