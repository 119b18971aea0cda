#include "Compressed.h"
#include "HistorySession.h"
#include "RecordMessage.h"
#include "TestFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace Qt::StringLiterals;

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

TEST(Session, SavedRowsOpenInAFreshFolderWithTheirRecordsByteForByte)
{
    TestFolder saved;
    const QByteArray gzip = deflated(QByteArray(500, 'z'));
    const struct {
        const char *name;
        QByteArray request, reply;
        QString fullUrl;
        bool checked;
    } exchanges[] = {
        { "chunked", "GET http://a.test/c HTTP/1.1\r\nHost: a.test\r\n\r\n",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
            u"http://a.test/c"_s, true },
        { "gzip", "GET http://a.test/z HTTP/1.1\r\nHost: a.test\r\n\r\n",
            "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + QByteArray::number(gzip.size())
                + "\r\n\r\n" + gzip,
            u"http://a.test/z"_s, false },
        { "binary", "POST http://a.test/b HTTP/1.1\r\nContent-Length: 3\r\n\r\n\0\xff\x80"_ba,
            "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 2\r\n\r\n\x89\0"_ba,
            u"http://a.test/b"_s, false },
        { "decrypted HTTPS", "GET /s?q=1 HTTP/1.1\r\nHost: secure.test\r\n\r\n",
            "HTTP/1.1 204 No Content\r\n\r\n", u"https://secure.test/s?q=1"_s, true },
        { "no reply", "GET http://gone.test/ HTTP/1.1\r\nHost: gone.test\r\n\r\n", QByteArray(),
            u"http://gone.test/"_s, false },
    };
    QList<HistoryRow> rows;
    for (int i = 0; i < int(std::size(exchanges)); ++i) {
        const auto &exchange = exchanges[i];
        HistoryRow row;
        const QString name = u"261207"_s + QString::number(100000 + i) + u"-ABCDE"_s;
        row.cells = { u"a.test"_s, u"127.0.0.1"_s, u"GET"_s, exchange.fullUrl, u"1,234"_s, u"5"_s,
            exchange.reply.isEmpty() ? u"ERROR"_s : u"DONE"_s, name + u"-Q.txt"_s,
            exchange.reply.isEmpty() ? QString() : name + u"-A.txt"_s, u"200"_s };
        row.fullUrl = exchange.fullUrl;
        row.checked = exchange.checked;
        row.resent = i % 2 == 1;
        writeBytes(saved.requests() + row.cells[HistoryRow::RequestFile], exchange.request);
        if (!exchange.reply.isEmpty())
            writeBytes(saved.requests() + row.cells[HistoryRow::ResponseFile], exchange.reply);
        rows.append(row);
    }
    const QString session = saved.path() + u"session.har"_s;
    QString error;
    ASSERT_TRUE(HistorySession::save(session, rows, saved.requests(), &error)) << qPrintable(error);
    // Regression: a decrypted HTTPS request, recorded in origin form, was exported as http.
    EXPECT_EQ(QJsonDocument::fromJson(fileBytes(session))["log"_L1][u"entries"_s][3][u"request"_s][u"url"_s],
        u"https://secure.test/s?q=1"_s);

    QTemporaryDir fresh;
    const QString folder = fresh.path() + u'/';
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "opened" : "opened again over its own records");
        const auto opened = HistorySession::open(session, folder, &error);
        ASSERT_TRUE(opened) << qPrintable(error);
        ASSERT_EQ(opened->size(), rows.size());
        for (qsizetype i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(exchanges[i].name);
            const HistoryRow &row = opened->at(i);
            EXPECT_EQ(row.cells, rows[i].cells);
            EXPECT_EQ(std::pair(row.checked, row.resent), std::pair(rows[i].checked, rows[i].resent));
            EXPECT_EQ(row.fullUrl, rows[i].fullUrl);
            EXPECT_EQ(row.note, u"Opened from session.har: exact recorded bytes"_s);
            EXPECT_EQ(fileBytes(folder + row.cells[HistoryRow::RequestFile]), exchanges[i].request);
            if (!exchanges[i].reply.isEmpty()) {
                EXPECT_EQ(fileBytes(folder + row.cells[HistoryRow::ResponseFile]), exchanges[i].reply);
            }
        }
        EXPECT_EQ(filesIn(folder), filesIn(saved.requests()));
    }
}

TEST(Session, AHarSavedByChromiumOpensWithItsUrlsAndBodies)
{
    QTemporaryDir folder;
    QString error;
    const auto rows = HistorySession::open(
        TARNWICK_SOURCE_DIR "/tests/app/data/chromium.har"_L1, folder.path() + u'/', &error);
    ASSERT_TRUE(rows) << qPrintable(error);
    const struct {
        const char *url, *code;
        QByteArray bodyStart;
        qsizetype bodySize;
    } expected[] = {
        { "http://127.0.0.1:8765/index.html", "200", "<!doctype html>\n<html><head><meta charset=\"utf-8\">",
            255 },
        { "http://127.0.0.1:8765/style.css", "200", "body { color: #333; }\nh1 { font-size: 2em; }\n", 45 },
        { "http://127.0.0.1:8765/dot.png", "200", "\x89PNG\r\n\x1a\n", 69 },
        { "http://127.0.0.1:8765/app.js?v=2", "200", "document.title += \" \\u2713\";\n", 29 },
        { "http://127.0.0.1:8765/favicon.ico", "404", "<!DOCTYPE HTML>", 335 },
    };
    ASSERT_EQ(rows->size(), qsizetype(std::size(expected)));
    for (qsizetype i = 0; i < rows->size(); ++i) {
        const HistoryRow &row = rows->at(i);
        SCOPED_TRACE(expected[i].url);
        EXPECT_EQ(row.fullUrl, QLatin1String(expected[i].url));
        EXPECT_EQ(row.cells[HistoryRow::Code], QLatin1String(expected[i].code));
        EXPECT_EQ(row.note, u"Opened from chromium.har: rebuilt from the HAR fields"_s);
        const QByteArray request = fileBytes(folder.path() + u'/' + row.cells[HistoryRow::RequestFile]);
        EXPECT_TRUE(request.startsWith("GET " + QByteArray(expected[i].url) + " HTTP/1.1\r\nAccept:"))
            << request.data();
        const RecordMessage reply
            = RecordMessage::parse(fileBytes(folder.path() + u'/' + row.cells[HistoryRow::ResponseFile]));
        EXPECT_TRUE(reply.body.startsWith(expected[i].bodyStart));
        EXPECT_EQ(reply.body.size(), expected[i].bodySize);
        EXPECT_EQ(reply.header("Content-Length"), QByteArray::number(expected[i].bodySize));
    }
}

TEST(Session, BadFilesAreRefusedWithTheEntryAndFaultAndLeaveNothing)
{
    const QByteArray good = R"({"request":{"method":"GET","url":"http://a.test/","headers":[]},)"
                            R"("response":{"status":200,"headers":[],"content":{"text":"x"}}})";
    const auto har = [](const QByteArray &entries) {
        return R"({"log":{"version":"1.2","entries":[)" + entries + "]}}";
    };
    const QByteArray chromium = fileBytes(TARNWICK_SOURCE_DIR "/tests/app/data/chromium.har"_L1);
    const struct {
        const char *name;
        QByteArray content;
        const char *message;
    } files[] = {
        { "empty", " \n", "The file is empty." },
        { "not JSON", "GET / HTTP/1.1", "The file is not JSON: unexpected byte at 0." },
        { "JSON but not HAR", R"({"log":{"pages":[]}})", "The file is not HAR: it has no log.entries." },
        { "entries not an array", R"({"log":{"entries":{}}})",
            "The file is not HAR: log.entries is not an array." },
        { "status a string", har(good + "," + QByteArray(good).replace("200", "\"200\"")),
            "Entry 2: response.status is not a number." },
        { "headers not pairs", har(QByteArray(good).replace("[]", "[1]")),
            "Entry 1: request.headers[0] is not a name and value." },
        { "bad base64 after a good entry",
            har(good + "," + QByteArray(good).replace("\"x\"", "\"@@\",\"encoding\":\"base64\"")),
            "Entry 2: response.content.text is not valid base64." },
        { "bad exact bytes",
            har(QByteArray(good).replace(
                "}}}", R"(}},"_tarnwick":{"request":"%%","cells":["","","","","","","","","",""]}})")),
            "Entry 1: _tarnwick.request is not valid base64." },
        { "cells too few", har(QByteArray(good).replace("}}}", R"(}},"_tarnwick":{"cells":[]}})")),
            "Entry 1: _tarnwick.cells does not hold 10 cells." },
        { "entry not JSON", har(good + ",{\"a\":tru}"), "Entry 2: not JSON: illegal value." },
        { "nested too deep", har(QByteArray(300, '[') + QByteArray(300, ']')),
            "Entry 1 nests deeper than 256 levels." },
        { "truncated in an entry", chromium.left(chromium.size() / 2),
            "Entry 3: the file ends before the entry does." },
        { "truncated after the entries", har(good).chopped(1), "The file ends too early" },
        { "more after the end", har(good) + "{}", "The file is not JSON: more follows its end" },
    };
    for (const auto &file : files) {
        SCOPED_TRACE(file.name);
        QTemporaryDir folder;
        const QString path = folder.path() + u"/bad.har"_s;
        writeBytes(path, file.content);
        QString error;
        EXPECT_FALSE(HistorySession::open(path, folder.path() + u'/', &error));
        EXPECT_TRUE(error.startsWith(QLatin1String(file.message))) << qPrintable(error);
        EXPECT_EQ(filesIn(folder.path()), QStringList { u"bad.har"_s });
    }
}
