#include "common/literals.h"
#include "filesink.h"

namespace quaverlink {
namespace {

// The DLS text file that ODR-PadEnc reads, with DL Plus tags for the artist
// and the title where the text holds them, so that DAB+ radios show them
// apart. Markers count characters, as ODR-PadEnc's one byte a character
// after its conversion to EBU Latin does; a length marker is the length
// less one.
class DlsSink final : public FileSink
{
public:
    DlsSink(const OutputConfig &config, const DlsTarget &target)
        : FileSink(config, target.path)
    {
    }

protected:
    QByteArray content(const NowPlaying &playing) override
    {
        const QString text = m_config.renderer.renderText(playing);
        if (text != m_text) {
            m_toggle = !m_toggle; // a new item
            m_text = text;
        }
        QByteArray tags;
        const auto [artist, title] = Template::artistAndTitle(playing);
        // Whichever comes first in the template; the title is looked for
        // after the artist first, so that a title inside the artist's name
        // is not taken for it, then before it.
        const qsizetype artistAt = artist.isEmpty() ? -1 : text.indexOf(artist);
        qsizetype titleAt = title.isEmpty() ? -1 : text.indexOf(title, artistAt < 0 ? 0 : artistAt + artist.size());
        if (titleAt < 0 && !title.isEmpty() && artistAt >= 0) {
            titleAt = text.left(artistAt).indexOf(title);
        }
        // A part that a cut left incomplete is not found, and gets no tag.
        const bool running = !playing.isIdle && (artistAt >= 0 || titleAt >= 0);
        if (!playing.isIdle && artistAt >= 0) {
            tags += tag(kArtist, text, artistAt, artist.size());
        }
        if (!playing.isIdle && titleAt >= 0) {
            tags += tag(kTitle, text, titleAt, title.size());
        }
        return "##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=" + QByteArray(m_toggle ? "1" : "0")
            + "\nDL_PLUS_ITEM_RUNNING=" + (running ? "1" : "0") + "\n" + tags + "##### parameters } #####\n"
            + text.toUtf8() + "\n";
    }

private:
    static constexpr int kTitle = 1;  // ITEM.TITLE
    static constexpr int kArtist = 4; // ITEM.ARTIST

    static QByteArray tag(int type, const QString &text, qsizetype at, qsizetype length)
    {
        const auto characters
            = [&](qsizetype from, qsizetype units) { return text.sliced(from, units).toUcs4().size(); };
        return "DL_PLUS_TAG=" + QByteArray::number(type) + ' ' + QByteArray::number(characters(0, at)) + ' '
            + QByteArray::number(characters(at, length) - 1) + '\n';
    }

    QString m_text;
    bool m_toggle = true; // the first text turns it to 0
};

} // namespace

Sink *makeSink(const OutputConfig &config, const DlsTarget &target)
{
    return new DlsSink(config, target);
}

} // namespace quaverlink
