#include "metadatawindow.h"

#include "common/literals.h"
#include "service/station.h"

#include <QFrame>
#include <QLabel>

// The icons live in this static library; name them so the linker keeps them.
static void initResources()
{
    Q_INIT_RESOURCE(quaverlink);
}

namespace quaverlink {
namespace {

// Positions and sizes are designed in twips; at 96 dots per inch a logical
// pixel is 15 of them, and Qt's high-DPI scaling takes it from there.
constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips)
{
    return twips / kTwipsPerPixel;
}

enum class Look { Default, Bold, Large, LargeBold, PasswordFace };
enum class Ink { Default, DarkRed, Shadow };

struct Item
{
    const char *name;
    int left, top, width, height; // twips; a line runs from (left, top) to (width, height)
    const char16_t *caption;      // fixed text of a caption; nullptr for fields and lines
    Qt::Alignment align;
    Look look;
    Ink ink;
    bool line;
    bool sizesToText;
};

// In stacking order: an earlier row is drawn over a later one.
constexpr Item kItems[] = {
    {"Line1", 0, 720, 9840, 720, nullptr, {}, Look::Default, Ink::Default, true, false},
    {"lblCounter", 6960, 480, 855, 255, nullptr, Qt::AlignRight, Look::Default, Ink::Default, false, false},
    {"lblVersion", 7200, 840, 705, 195, nullptr, Qt::AlignRight, Look::Default, Ink::Default, false, false},
    {"Label11", 1560, 3120, 1320, 195, u"**********", Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"lblDBname", 1560, 3360, 7800, 195, nullptr, Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"lblDBpassword", 1560, 3120, 7800, 195, nullptr, Qt::AlignLeft, Look::PasswordFace, Ink::Default, false, false},
    {"lblDBuser", 1560, 2880, 7800, 195, nullptr, Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"lblDBserver", 1560, 2640, 7800, 195, nullptr, Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"lblDBenabled", 1560, 2400, 7800, 195, nullptr, Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"Line3", 120, 3600, 9960, 3600, nullptr, {}, Look::Default, Ink::Default, true, false},
    {"Line2", 0, 0, 9840, 0, nullptr, {}, Look::Default, Ink::Default, true, false},
    {"Label10", 240, 3360, 870, 195, u"DB Name:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"Label9", 240, 3120, 1200, 195, u"DB Password:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"Label8", 240, 2880, 780, 195, u"DB User:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"Label7", 240, 2640, 945, 195, u"DB Server:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"Label6", 240, 2400, 1080, 195, u"DB Enabled:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"lblDefault", 1560, 2160, 8280, 195, nullptr, Qt::AlignLeft, Look::Bold, Ink::Default, false, false},
    {"Label4", 240, 2160, 1125, 195, u"Default Text:", Qt::AlignRight, Look::Bold, Ink::Default, false, true},
    {"lblData", 1560, 1800, 7920, 195, nullptr, Qt::AlignLeft, Look::Default, Ink::Default, false, false},
    {"Label1", 120, 1800, 1215, 195, u"Last Data RX:", Qt::AlignRight, Look::Bold, Ink::Default, false, false},
    {"lblCopyright", 0, 840, 7815, 255, nullptr, Qt::AlignHCenter, Look::Default, Ink::Default, false, false},
    {"lblLast", 1560, 360, 7725, 360, nullptr, Qt::AlignLeft, Look::Large, Ink::Shadow, false, false},
    {"lblNow", 1560, 0, 7725, 360, nullptr, Qt::AlignLeft, Look::LargeBold, Ink::DarkRed, false, false},
    {"Label3", 0, 360, 1365, 360, u"Previous:", Qt::AlignRight, Look::Large, Ink::Shadow, false, false},
    {"Label2", 240, 0, 1125, 360, u"Current:", Qt::AlignRight, Look::LargeBold, Ink::Default, false, false},
};

QFont fontFor(Look look)
{
    // The designed face rarely exists outside Windows; the system's
    // sans-serif stands in at the same size.
    QFont font(look == Look::PasswordFace ? u"Arial"_s : u"MS Sans Serif"_s);
    font.setStyleHint(QFont::SansSerif);
    const bool large = look == Look::Large || look == Look::LargeBold;
    font.setPointSizeF(large ? 13.5 : 8.25);
    font.setBold(look == Look::Bold || look == Look::LargeBold || look == Look::PasswordFace);
    font.setItalic(look == Look::PasswordFace);
    return font;
}

void paintInk(QWidget *widget, Ink ink)
{
    QPalette palette = widget->palette();
    switch (ink) {
    case Ink::DarkRed:
        palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
        break;
    case Ink::Shadow:
        palette.setColor(QPalette::WindowText, palette.color(QPalette::Dark));
        break;
    case Ink::Default:
        palette.setColor(QPalette::WindowText, palette.color(QPalette::ButtonText));
        break;
    }
    widget->setPalette(palette);
}

// The stand-in face is usually wider than the designed one. A fixed caption
// is narrowed just enough to keep its whole text inside its designed box;
// received texts are never narrowed, they are clipped.
void condenseToFit(QLabel *label)
{
    const int advance = label->fontMetrics().horizontalAdvance(label->text());
    if (advance <= label->width()) {
        return;
    }
    QFont font = label->font();
    font.setStretch(qMax(50, label->width() * 100 / advance));
    label->setFont(font);
}

// No box can show more than a line or two of at most a few hundred narrow
// characters; laying out a whole 64 KiB datagram would stall the receiver
// behind the painter. The field keeps the whole text; only what could ever
// be seen is drawn.
QString visiblePart(const QString &text)
{
    constexpr qsizetype kMaxDrawn = 512;
    if (text.size() <= kMaxDrawn) {
        return text;
    }
    return text.first(text.at(kMaxDrawn - 1).isHighSurrogate() ? kMaxDrawn - 1 : kMaxDrawn);
}

std::optional<Field> fieldNamed(const QString &name)
{
    for (int i = 0; i < kFieldCount; ++i) {
        if (fieldName(Field(i)) == name) {
            return Field(i);
        }
    }
    return std::nullopt;
}

QWidget *makeLine(const Item &item, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setLineWidth(1);
    line->setGeometry(px(item.left), px(item.top), px(item.width) - px(item.left) + 1, 1);
    return line;
}

QLabel *makeLabel(const Item &item, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // Texts arrive from the network: never markup, never a mnemonic.
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setAlignment(item.align | Qt::AlignTop);
    label->setAutoFillBackground(true);
    label->setFont(fontFor(item.look));
    paintInk(label, item.ink);
    label->setGeometry(px(item.left), px(item.top), px(item.width), px(item.height));
    if (item.caption) {
        label->setText(QString::fromUtf16(item.caption));
        if (item.sizesToText) {
            label->adjustSize();
        } else {
            condenseToFit(label);
        }
    }
    return label;
}

} // namespace

MetaDataWindow::MetaDataWindow(Station &station, QWidget *parent)
    : QWidget(parent)
    , m_station(station)
{
    initResources();
    setObjectName(u"frmMetaData"_s);
    setWindowTitle(u"Quaverlink"_s);
    QIcon icon;
    icon.addFile(u":/icons/quaverlink-16.png"_s, QSize(16, 16));
    icon.addFile(u":/icons/quaverlink-32.png"_s, QSize(32, 32));
    setWindowIcon(icon);

    // Created bottom of the stack first, so each later sibling lies above.
    for (auto it = std::rbegin(kItems); it != std::rend(kItems); ++it) {
        QWidget *widget = it->line ? makeLine(*it, this) : makeLabel(*it, this);
        widget->setObjectName(QString::fromLatin1(it->name));
        const std::optional<Field> field = fieldNamed(widget->objectName());
        if (!field) {
            continue;
        }
        auto *label = static_cast<QLabel *>(widget);
        m_fieldLabels[size_t(*field)] = label;
        m_designedAlignment[size_t(*field)] = it->align;
        if (*field == Field::lblDBpassword) {
            // Held by the receiver, never handed to any widget.
            label->hide();
            continue;
        }
        showText(label, station.receiver().fields().text(*field));
    }

    // A person reads this window; 25 pictures a second are plenty. Drawing
    // every item of a burst would only hold the next item back.
    m_showTimer.setSingleShot(true);
    m_sinceShown.start();
    connect(&m_showTimer, &QTimer::timeout, this, &MetaDataWindow::showChangedFields);
    connect(&station.receiver().fields(), &StatusFields::textChanged, this,
            [this](Field field) { markChanged(field); });

    // Below the settings band, for a window enlarged further: the outputs
    // beside metadata.txt and how each stands. Not part of the original
    // layout, so it shows only when there are outputs.
    m_outputs = makeLabel({"lblOutputs", 240, 3720, 9600, 195, nullptr, Qt::AlignLeft, Look::Default, Ink::Default,
                           false, false},
                          this);
    m_outputs->setObjectName(u"lblOutputs"_s);
    m_outputs->hide();
    connect(&station, &Station::outputsChanged, this, [this] {
        m_outputs->setText(u"Outputs: "_s + m_station.outputSummary());
        m_outputs->setVisible(!m_station.outputNames().isEmpty());
    });
    resize(kInitialClientSize);
}

void MetaDataWindow::markChanged(Field field)
{
    if (field == Field::lblDBpassword) {
        return;
    }
    m_changed[size_t(field)] = true;
    // Shown right behind the item that changed it, unless the window was
    // drawn less than a picture ago: then with the first item a picture
    // after the last one, or once the items pause. A timer of its own pace
    // would sooner or later draw just as an item arrives, and hold it up.
    constexpr int kPictureMs = 40;
    m_showTimer.start(m_sinceShown.hasExpired(kPictureMs) ? 0 : kPictureMs);
}

void MetaDataWindow::showChangedFields()
{
    m_sinceShown.restart();
    for (int i = 0; i < kFieldCount; ++i) {
        if (std::exchange(m_changed[size_t(i)], false)) {
            showText(m_fieldLabels[size_t(i)], m_station.receiver().fields().text(Field(i)));
        }
    }
}

void MetaDataWindow::showText(QLabel *label, const QString &text)
{
    label->setText(visiblePart(text));
    alignToVisiblePart(label);
}

// Right-to-left text begins at its right end, which the designed boxes place
// beyond the window's edge or under the counter. Such text is aligned to the
// right edge of what the window shows of its box, so that its beginning is
// seen and its end is what is clipped; the box itself stays where it was
// designed, and left-to-right text runs on under whatever covers it, as
// designed.
void MetaDataWindow::alignToVisiblePart(QLabel *label)
{
    const auto field = size_t(std::find(m_fieldLabels.cbegin(), m_fieldLabels.cend(), label) - m_fieldLabels.cbegin());
    if (!(m_designedAlignment[field] & Qt::AlignLeft)) {
        return;
    }
    const bool rightToLeft = label->text().isRightToLeft();
    label->setContentsMargins(0, 0, rightToLeft ? label->geometry().right() + 1 - visibleRight(label) : 0, 0);
    label->setAlignment((rightToLeft ? Qt::AlignRight | Qt::AlignAbsolute : m_designedAlignment[field]) | Qt::AlignTop);
}

// The window's edge, or the left edge of a box drawn over this one from the
// right (the counter lies over the previous text's end), whichever comes first.
int MetaDataWindow::visibleRight(const QLabel *label) const
{
    int right = qMin(label->geometry().right() + 1, width());
    const QObjectList &siblings = children();
    // Later siblings are drawn above.
    for (auto it = std::next(std::find(siblings.cbegin(), siblings.cend(), label)); it != siblings.cend(); ++it) {
        const auto *over = qobject_cast<const QLabel *>(*it);
        if (over && !over->isHidden() && over->x() > label->x() && over->geometry().intersects(label->geometry())) {
            right = qMin(right, over->x());
        }
    }
    return right;
}

void MetaDataWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    for (QLabel *label : m_fieldLabels) {
        if (label) {
            alignToVisiblePart(label);
        }
    }
}

} // namespace quaverlink
