#include "outputs/template.h"
#include "pad/padupdate.h"

#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

namespace {

// A document as Rivendell writes it: indented JSON, CR LF, an empty line.
const QByteArray kDocument = "{\r\n    \"padUpdate\": {\r\n        \"dateTime\": \"2026-03-07T18:05:09\",\r\n"
                             "        \"machine\": 1,\r\n        \"onairFlag\": true,\r\n"
                             "        \"service\": {\"name\": \"Production\"},\r\n        \"log\": null,\r\n"
                             "        \"now\": {\"startDateTime\": \"2026-03-07T18:05:08\", \"cartNumber\": 10123,"
                             " \"cutNumber\": 1, \"length\": 215400, \"year\": 2003, \"groupName\": \"MUSIC\","
                             " \"artist\": \"Run - D.M.C.\", \"title\": \"It's Tricky\", \"album\": \"Bj\xC3\xB6rk\","
                             " \"isrc\": \"USRC17607839\", \"composer\": null, \"unknownField\": [1, 2]},\r\n"
                             "        \"next\": {\"cartNumber\": \"10124\", \"title\": 7, \"artist\": \"Next\"}\r\n"
                             "    }\r\n}\r\n\r\n";

} // namespace

class PadTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void documentsAreCutWhereverTheSegmentsEnd()
    {
        for (const int segment : {1, 7, 100, 1 << 20}) {
            const QByteArray bare = QByteArray(kDocument).replace("\r\n", "\n");
            const QByteArray stream = "\r\n" + kDocument + bare + "{\"a\":1}\n \n" + kDocument.chopped(2);
            PadFramer framer;
            QList<QByteArray> documents;
            for (qsizetype at = 0; at < stream.size(); at += segment) {
                framer.append(stream.mid(at, segment));
                while (const std::optional<QByteArray> document = framer.takeDocument()) {
                    documents << *document;
                }
            }
            QCOMPARE(documents.size(), 2);
            QCOMPARE(documents.at(1), bare.trimmed());
            // The third ends at a line of blanks only, which is no empty line;
            // the fourth is still open.
            framer.append("\r\n");
            QCOMPARE(framer.takeDocument(), std::optional(QByteArray("{\"a\":1}\n \n") + kDocument.chopped(4)));
            framer.append(QByteArray(PadFramer::kMaxDocument + 1, ' '));
            QVERIFY(!framer.takeDocument() && framer.isOverflowing());
        }
    }

    void fieldsAreReadAsAClientMust()
    {
        QString error;
        const std::optional<PadUpdate> update = parsePadUpdate(kDocument, &error);
        QVERIFY2(update, qPrintable(error));
        QCOMPARE(update->machine, 1);
        QCOMPARE(update->serviceName, u"Production"_s);
        QVERIFY(update->onAir && update->logName.isEmpty() && update->now && update->next);
        QCOMPARE(update->now->text(), u"Run - D.M.C. - It's Tricky"_s);
        QCOMPARE(update->now->field(PadItem::fieldNames().indexOf(u"length"_s)), u"3:35"_s);
        QCOMPARE(update->next->cart, 10124);
        QVERIFY(update->next->title.isEmpty() && update->now->composer.isEmpty());
        QCOMPARE(update->next->text(), u"Next - "_s);

        // The fields reach templates; artist and title as the feed gave them.
        const auto renderer = Template::parse(u"{artist}|{title}|{album}|{length}|{year}|{cart}|{next.artist}"
                                              "[|{label}]|{isrc}"_s,
                                              {}, &error);
        QVERIFY2(renderer, qPrintable(error));
        NowPlaying playing {update->now->text(), QDateTime::currentDateTime(), false,
                            std::make_shared<const PadUpdate>(*update)};
        QCOMPARE(renderer->renderText(playing),
                 u"Run - D.M.C.|It's Tricky|Bj\u00f6rk|3:35|2003|10123|Next|USRC17607839"_s);
        playing.pad.reset();
        QCOMPARE(renderer->renderText(playing), u"Run|D.M.C. - It's Tricky||||||"_s);

        for (const QByteArray &bad : {QByteArray("{\"padUpdate\": {"), QByteArray("[1]"), QByteArray("{\"x\": {}}")}) {
            QVERIFY(!parsePadUpdate(bad, &error));
        }
        QVERIFY(parsePadUpdate("{\"padUpdate\": {\"now\": null}}", &error)->now == std::nullopt);
    }
};

QTEST_GUILESS_MAIN(PadTest)
#include "tst_pad.moc"
