#include "outputs/template.h"
#include "pad/padupdate.h"

#include <QJsonDocument>
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
    // Each release's framing in one stream: 3.x (CR LF lines, an empty line
    // after the document), 4.0 to 4.2.1 (LF lines, an empty line), 4.2.2 on
    // (trimmed, nothing between), split at every byte and whole.
    void documentsAreFoundInEveryReleasesFraming()
    {
        const QStringList titles = {u"Curly {Braces} }}"_s, u"Back\\slash \"quoted\" {\\\""_s, u"Plain"_s, u"Last"_s};
        const std::pair<QByteArray, QByteArray> framings[]
            = {{"\r\n", "\r\n\r\n"}, {"\n", "\n\n"}, {"\n", ""}, {"\n", ""}};
        QByteArray stream;
        for (qsizetype i = 0; i < titles.size(); ++i) {
            const QJsonObject now {{u"artist"_s, u"A}rtist"_s}, {u"title"_s, titles[i]}};
            const QJsonObject update {{u"padUpdate"_s, QJsonObject {{u"machine"_s, 1}, {u"now"_s, now}}}};
            stream += QJsonDocument(update).toJson().trimmed().replace("\n", framings[i].first) + framings[i].second;
        }
        for (qsizetype split = 0; split <= stream.size(); ++split) {
            PadFramer framer;
            QStringList read;
            for (const QByteArray &segment : {stream.first(split), stream.sliced(split)}) {
                framer.append(segment);
                while (const std::optional<QByteArray> document = framer.takeDocument()) {
                    QString error;
                    const std::optional<PadUpdate> update = parsePadUpdate(*document, &error);
                    QVERIFY2(update, qPrintable(error));
                    read << update->now->title;
                }
            }
            QCOMPARE(read, titles);
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

        // Templates take artist and title as the feed gave them, not split at a dash.
        const NowPlaying playing {update->now->text(), {}, false, std::make_shared<const PadUpdate>(*update)};
        QCOMPARE(Template::parse(u"{artist}|{title}|{cart}|{next.artist}"_s, {}, &error)->renderText(playing),
                 u"Run - D.M.C.|It's Tricky|10123|Next"_s);
        for (const QByteArray &bad : {QByteArray("{\"padUpdate\": {"), QByteArray("[1]"), QByteArray("{\"x\": {}}")}) {
            QVERIFY(!parsePadUpdate(bad, &error));
        }
        QVERIFY(parsePadUpdate("{\"padUpdate\": {\"now\": null}}", &error)->now == std::nullopt);
        // Rivendell 4 names its service by description alone.
        QCOMPARE(parsePadUpdate("{\"padUpdate\": {\"hostName\": \"studio-a\", \"service\": {\"description\":"
                                " \"Production Log\", \"programCode\": \"\"}}}",
                                &error)
                     ->serviceName,
                 u"Production Log"_s);
    }

    void aPlayIsStampedWhenRivendellStartedItWithinReason()
    {
        const QDateTime arrival = QDateTime::fromString(u"2026-03-07T18:10:00+01:00"_s, Qt::ISODate);
        // A song of 3:35 three minutes in, with any offset; then a start in the
        // future, one longer ago than the song plus a minute, one unreadable;
        // and half a minute in, its length unknown.
        const std::tuple<QString, qint64, int> starts[] = {{u"2026-03-07T18:07:00+01:00"_s, 215400, -180},
                                                           {u"2026-03-07T17:07:00Z"_s, 215400, -180},
                                                           {u"2026-03-07T18:10:01+01:00"_s, 215400, 0},
                                                           {u"2026-03-07T18:05:24+01:00"_s, 215400, 0},
                                                           {u"soon"_s, 215400, 0},
                                                           {u"2026-03-07T18:09:30+01:00"_s, -1, -30}};
        for (const auto &[start, length, offset] : starts) {
            PadItem item;
            item.startDateTime = start;
            item.lengthMs = length;
            QCOMPARE(item.onAirTime(arrival), arrival.addSecs(offset));
        }
    }
};

QTEST_GUILESS_MAIN(PadTest)
#include "tst_pad.moc"
