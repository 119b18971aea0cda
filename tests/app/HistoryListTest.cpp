#include "QtHistoryList.h"
#include "Wait.h"

#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A nine-column history list on screen, as the main window has it.
struct ShownList {
    QtHistoryList list;
    ShownList()
    {
        for (int i = 0; i < 9; ++i)
            list.addColumn(QStringLiteral("c%1").arg(i), 1000, IHistoryList::Alignment::Left);
        list.resize(600, 300);
        list.show();
    }
    // Waits for the held repaint, and the selection held with it, to be applied.
    bool settled()
    {
        return waitFor([this] { return list.updatesEnabled(); }, 2000);
    }
};

TEST(HistoryList, ASelectionHeldWithTheRepaintIsReadAtOnceAndYieldsToAClick)
{
    // Guards against the list reporting an old selection while its repaint is held back.
    ShownList shown;
    QtHistoryList &list = shown.list;
    list.add();
    list.add();
    list.setSelectedIndex(2);
    EXPECT_EQ(list.selectedIndex(), 2);
    ASSERT_TRUE(shown.settled());
    EXPECT_EQ(list.currentItem(), list.topLevelItem(1));
    EXPECT_EQ(list.selectedIndex(), 2);

    // Guards against a held selection of a new row overriding the row the user has just clicked.
    list.add();
    list.setSelectedIndex(3);
    QTest::mouseClick(
        list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.topLevelItem(0)).center());
    EXPECT_EQ(list.selectedIndex(), 1);
    ASSERT_TRUE(shown.settled());
    EXPECT_EQ(list.selectedIndex(), 1);

    list.setSelectedIndex(2);
    list.clear();
    EXPECT_EQ(list.selectedIndex(), 0) << "clearing drops a selection still held";
}

TEST(HistoryList, ANewRowIsFollowedOnlyFromTheBottom)
{
    // Guards against steady traffic pulling the view away from an older row the user scrolled to.
    ShownList shown;
    QtHistoryList &list = shown.list;
    for (int i = 0; i < 60; ++i)
        list.add();
    QScrollBar *bar = list.verticalScrollBar();
    for (const bool top : { true, false }) {
        SCOPED_TRACE(top ? "scrolled to the top" : "at the bottom");
        ASSERT_TRUE(shown.settled());
        top ? list.scrollToTop() : list.scrollToBottom();
        list.add();
        list.setSelectedIndex(list.count());
        ASSERT_TRUE(shown.settled());
        QCoreApplication::processEvents();
        EXPECT_EQ(list.currentItem(), list.topLevelItem(list.count() - 1));
        EXPECT_GT(bar->maximum(), 0);
        EXPECT_EQ(bar->value(), top ? 0 : bar->maximum());
    }
}

TEST(HistoryList, FilterHidesRowsButKeepsTheirPlace)
{
    ShownList shown;
    QtHistoryList &list = shown.list;
    const char *cells[][4] = { { "example.org", "GET", "index.html", "Done" },
        { "api.test", "POST", "upload", "Failed" }, { "cdn.test", "CONNECT", "", "IN-PROXY" } };
    for (const auto &row : cells) {
        list.add();
        int column = 0;
        for (const int n : { 0, 2, 3, 6 })
            list.setSubItem(list.count(), n, QLatin1String(row[column++]));
        list.setSubItem(list.count(), 1, QStringLiteral("10.0.0.1"));
    }
    const struct {
        const char *filter;
        QList<bool> shown;
    } rows[] = { { "", { true, true, true } }, { "EXAMPLE", { true, false, false } },
        { "post", { false, true, false } }, { "-test", { true, false, false } },
        { "fail", { false, true, false } }, { "in-proxy", { false, false, true } },
        // The address column is not searched.
        { "10.0", { false, false, false } } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.filter);
        list.setFilterText(QLatin1String(row.filter));
        EXPECT_EQ((QList<bool> { list.rowShown(1), list.rowShown(2), list.rowShown(3) }), row.shown);
    }
    // A row is judged again as the engine fills it in, and keeps its number.
    const QString url = QStringLiteral("http://example.net/a-very-long-url");
    list.setFilterText(QStringLiteral("example"));
    list.add();
    EXPECT_FALSE(list.rowShown(4));
    list.setSubItem(4, 3, url);
    EXPECT_TRUE(list.rowShown(4));
    EXPECT_EQ(list.subItem(4, 3), url);
    // The whole text of a cell is its tooltip, however narrow the column.
    EXPECT_EQ(list.topLevelItem(3)->toolTip(3), url);
}

} // namespace
