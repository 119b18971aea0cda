#include "QtHistoryList.h"
#include "Wait.h"

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
};

TEST(HistoryList, SelectionMadeWhileRepaintsAreHeldIsReadAtOnceAndShownAfterwards)
{
    // Guards against the list reporting an old selection while its repaint is held back.
    ShownList shown;
    QtHistoryList &list = shown.list;
    list.add();
    list.add();
    list.setSelectedIndex(2);
    EXPECT_EQ(list.selectedIndex(), 2);
    EXPECT_TRUE(waitFor([&] { return list.updatesEnabled(); }, 2000));
    EXPECT_EQ(list.currentItem(), list.topLevelItem(1));
    EXPECT_EQ(list.selectedIndex(), 2);
}

TEST(HistoryList, AClickRightAfterANewRowKeepsTheClickedRow)
{
    // Guards against a held selection of a new row overriding the row the user has just clicked.
    ShownList shown;
    QtHistoryList &list = shown.list;
    list.add();
    list.add();
    ASSERT_TRUE(waitFor([&] { return list.updatesEnabled(); }, 2000));
    list.add();
    list.setSelectedIndex(3);
    const QRect first = list.visualItemRect(list.topLevelItem(0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(list.selectedIndex(), 1);
    ASSERT_TRUE(waitFor([&] { return list.updatesEnabled(); }, 2000));
    EXPECT_EQ(list.selectedIndex(), 1);

    list.setSelectedIndex(2);
    list.clear();
    EXPECT_EQ(list.selectedIndex(), 0) << "clearing drops a selection still held";
}

} // namespace
