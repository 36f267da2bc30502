#include "http/httprequest.h"

#include <QtTest>

using namespace quaverlink;
using namespace Qt::StringLiterals;

class HttpRequestTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesTheHead_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("headLength");
        const int complete = int(HttpParse::Status::Complete), incomplete = int(HttpParse::Status::Incomplete),
                  malformed = int(HttpParse::Status::Malformed), tooLarge = int(HttpParse::Status::TooLarge);
        QTest::newRow("CR LF") << QByteArray("GET /now HTTP/1.1\r\nHost: x\r\n\r\n") << complete << QByteArray("GET")
                               << QByteArray("/now") << QByteArray() << 30;
        QTest::newRow("bare LF") << QByteArray("GET /now HTTP/1.0\nHost: x\n\n") << complete << QByteArray("GET")
                                 << QByteArray("/now") << QByteArray() << 27;
        QTest::newRow("HEAD and a query") << QByteArray("HEAD /events?id=3&x HTTP/1.1\r\n\r\n") << complete
                                          << QByteArray("HEAD") << QByteArray("/events") << QByteArray("id=3&x") << 32;
        QTest::newRow("pipelined bytes stay")
            << QByteArray("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n") << complete << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << 19;
        QTest::newRow("head not ended") << QByteArray("GET /now HTTP/1.1\r\nHost: x\r\n") << incomplete << QByteArray()
                                        << QByteArray() << QByteArray() << 0;
        QTest::newRow("no version") << QByteArray("GET /now\r\n\r\n") << malformed << QByteArray() << QByteArray()
                                    << QByteArray() << 0;
        QTest::newRow("HTTP/2 text") << QByteArray("GET /now HTTP/2.0\r\n\r\n") << malformed << QByteArray()
                                     << QByteArray() << QByteArray() << 0;
        QTest::newRow("NUL in the path") << QByteArray("GET /n\0w HTTP/1.1\r\n\r\n", 22) << malformed << QByteArray()
                                         << QByteArray() << QByteArray() << 0;
        QTest::newRow("target not a path") << QByteArray("GET http://x/ HTTP/1.1\r\n\r\n") << malformed << QByteArray()
                                           << QByteArray() << QByteArray() << 0;
        QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nHost x\r\n\r\n") << malformed
                                              << QByteArray() << QByteArray() << QByteArray() << 0;
        QTest::newRow("oversize, never ended")
            << QByteArray(9000, 'G') << tooLarge << QByteArray() << QByteArray() << QByteArray() << 0;
        QTest::newRow("oversize head") << "GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n"
                                       << tooLarge << QByteArray() << QByteArray() << QByteArray() << 0;
        // A body is read only when its length is known, once.
        const QByteArray post = "POST /api/now HTTP/1.1\r\n";
        QTest::newRow("a length") << post + "content-length:  12 \r\n\r\n"
                                  << complete << QByteArray("POST") << QByteArray("/api/now") << QByteArray() << 48;
        for (const char *length : {"-1", "1e3", "0x10", "", "12, 13"}) {
            QTest::addRow("length \"%s\"", length) << post + "Content-Length: " + length + "\r\n\r\n"
                                                   << malformed << QByteArray() << QByteArray() << QByteArray() << 0;
        }
        QTest::newRow("two lengths") << post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\n"
                                     << malformed << QByteArray() << QByteArray() << QByteArray() << 0;
        QTest::newRow("chunked") << post + "Transfer-Encoding: chunked\r\n\r\n"
                                 << malformed << QByteArray() << QByteArray() << QByteArray() << 0;
    }
    void parsesTheHead()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, query);
        QFETCH(int, headLength);
        const HttpParse parsed = parseHttpRequest(bytes, 8192);
        QCOMPARE(int(parsed.status), status);
        QCOMPARE(parsed.request.method, method);
        QCOMPARE(parsed.request.path, path);
        QCOMPARE(parsed.request.query, query);
        QCOMPARE(parsed.request.headLength, qsizetype(headLength));
        QCOMPARE(parsed.request.contentLength, bytes.contains("ength:  12") ? 12 : 0);
    }
};

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
