#include "CProxyServer.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "RecordWriter.h"
#include "Wait.h"

#include <QDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Many connections on eight network threads while the history is purged and cleared under them,
// as the window does: every exchange is answered, every record that is left has its pair, and a
// ticked row's records survive. Run under ThreadSanitizer too (scripts/test.sh --tsan).
TEST(NetworkThreads, ExchangesOnEightThreadsSurvivePurgesWithEveryRecordPaired)
{
    constexpr int Browsers = 20, PerBrowser = 100;
    ProxyHarness h(CProxyServer::MaxThreads);
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, FakeOrigin::Closing::WhenAsked);
    std::vector<std::unique_ptr<RawBrowser>> browsers;
    for (int i = 0; i < Browsers; ++i) {
        browsers.push_back(std::make_unique<RawBrowser>(h.port()));
        browsers.back()->send(origin.getRequest().repeated(PerBrowser));
    }
    const auto answered = [&] {
        int replies = 0;
        for (const auto &browser : browsers)
            replies += int(browser->received.count("\r\n\r\nok"));
        return replies;
    };
    // Drops every listed row as the window's purge or clear does, ticking every seventh: the
    // engine hears first, then the records of the unticked rows are deleted.
    QStringList kept, deleted;
    int ticks = 0;
    const auto purge = [&] {
        QHash<quint64, bool> removed;
        for (int row = 1; row <= h.shell.list.count(); ++row) {
            const bool ticked = ++ticks % 7 == 0;
            removed.insert(h.shell.list.id(row), ticked);
            // Named after the request record, as the window does while the reply's is not listed.
            const QString request = h.row(row).at(7);
            (ticked ? kept : deleted) << request << request.chopped(6) + QStringLiteral("-A.txt");
        }
        h.shell.list.clear();
        h.server->historyRowsRemoved(removed);
        for (const QString &file : std::as_const(deleted))
            if (!file.isEmpty())
                RecordWriter::instance().remove(h.folder.requests() + file);
        deleted.clear();
    };
    const auto done = [&] { return answered() == Browsers * PerBrowser; };
    while (!done() && waitFor([&] { return h.shell.list.count() >= 200 || done(); }, 10000))
        purge();
    ASSERT_TRUE(done()) << answered();
    browsers.clear();
    ASSERT_TRUE(
        waitFor([&] { return h.logLines().filter(QStringLiteral("Removing #")).size() == Browsers; }));
    ASSERT_TRUE(RecordWriter::instance().drain(10000));
    QCoreApplication::processEvents();

    QStringList files = h.folder.requestFiles();
    for (const QString &file : std::as_const(files)) {
        const bool request = file.endsWith(QStringLiteral("-Q.txt"));
        const QString pair
            = file.chopped(6) + (request ? QStringLiteral("-A.txt") : QStringLiteral("-Q.txt"));
        EXPECT_TRUE(files.contains(pair)) << file.toStdString();
    }
    for (const QString &file : std::as_const(kept))
        EXPECT_TRUE(file.isEmpty() || files.contains(file)) << "ticked, yet deleted: " << file.toStdString();
}
