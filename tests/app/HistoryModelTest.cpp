#include "HistoryModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using namespace Qt::StringLiterals;
using Mode = HistoryModel::LimitMode;

HistoryCells with(std::optional<QString> HistoryCells::*member, const QString &value)
{
    HistoryCells cells;
    cells.*member = value;
    return cells;
}

HistoryRow row(quint64 id, const QStringList &cells, const QString &fullUrl = {}, bool checked = false)
{
    HistoryRow row;
    row.id = id;
    std::copy(cells.begin(), cells.end(), row.cells.begin());
    row.fullUrl = fullUrl;
    row.checked = checked;
    return row;
}

// Every model change runs under Qt's contract checks, for the model and for the filter over it.
class HistoryModelTest : public testing::Test
{
protected:
    HistoryModelTest()
    {
        model.log = [this](const QString &line) { logLines.append(line); };
        QObject::connect(&model, &HistoryModel::rowsDropped, &model,
            [this](const QList<HistoryRow> &rows) { dropped.append(rows); });
        filter.setSourceModel(&model);
    }

    void add(quint64 id) { model.exchangeAdded(id, with(&HistoryCells::Host, u"h%1"_s.arg(id))); }

    HistoryModel model;
    HistoryFilter filter;
    QAbstractItemModelTester modelTester { &model, QAbstractItemModelTester::FailureReportingMode::Fatal };
    QAbstractItemModelTester filterTester { &filter, QAbstractItemModelTester::FailureReportingMode::Fatal };
    QStringList logLines;
    QList<HistoryRow> dropped;
};

TEST_F(HistoryModelTest, LimitModesAndReportsForDroppedRows)
{
    // Regression: a report for a removed exchange changed whatever row later took its position.
    const QString rolling = u"10 Row Limit Reached - Removing the oldest rows."_s;
    const QStringList purge { u"10 Temp File Limit Reached - Auto-Purging..."_s, u"Done purging."_s };
    const QList<quint64> ten { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }, twelve = ten + QList<quint64> { 11, 12 };
    const struct {
        const char *name;
        Mode mode;
        int first; // appended rows 1..first
        QList<quint64> ticked;
        int then; // reported exchanges after them
        bool oneBatch;
        QList<quint64> kept, gone;
        QStringList log;
    } cases[] = {
        { "clear at the limit", Mode::Clear, 10, {}, 0, false, ten, {}, {} },
        { "clear past it, ticked too", Mode::Clear, 10, { 2 }, 1, false, {}, twelve.first(11), purge },
        { "oldest one by one", Mode::Oldest, 10, { 1, 3 }, 4, false, { 1, 3, 7, 8, 9, 10, 11, 12, 13, 14 },
            { 2, 4, 5, 6 }, { rolling } },
        { "oldest in one batch", Mode::Oldest, 10, { 2, 5 }, 6, true, { 2, 5, 9, 10, 11, 12, 13, 14, 15, 16 },
            { 1, 3, 4, 6, 7, 8 }, { rolling } },
        { "oldest keeps ticked rows", Mode::Oldest, 12, twelve, 2, false, twelve, { 13, 14 }, { rolling } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        model.clear();
        logLines.clear();
        dropped.clear();
        model.setLimit(c.mode == Mode::Clear ? 1 : 10, c.mode); // 1 is taken as 10
        QList<HistoryRow> rows(c.first);
        for (int i = 0; i < c.first; ++i)
            rows[i] = row(i + 1, {}, {}, c.ticked.contains(i + 1));
        model.appendRows(rows);
        for (int i = 0; i < c.then; ++i) {
            add(c.first + i + 1);
            if (!c.oneBatch)
                model.flush();
        }
        model.flush();
        QList<quint64> gone;
        for (const HistoryRow &row : dropped) {
            gone.append(row.id);
            EXPECT_EQ(row.checked, c.ticked.contains(row.id)) << row.id;
        }
        EXPECT_EQ(gone, c.gone);
        EXPECT_EQ(logLines, c.log);
        for (quint64 id = 1; id <= quint64(c.first + c.then); ++id)
            model.exchangeChanged(id, with(&HistoryCells::Status, QString::number(id)));
        model.flush();
        QList<quint64> kept;
        for (int i = 0; i < model.rowCount(); ++i) {
            kept.append(model.row(i).id);
            EXPECT_EQ(model.indexOf(kept.last()), i);
            EXPECT_EQ(model.row(i).cells[HistoryRow::Status].toULongLong(), kept.last());
        }
        EXPECT_EQ(kept, c.kept);
    }
}

TEST_F(HistoryModelTest, BatchesReportsIntoOneInsertionAndOneChange)
{
    // Regression: every report of an exchange repainted and refiltered its row on its own.
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    add(1);
    add(2);
    model.exchangeChanged(1, with(&HistoryCells::Status, u"SENT"_s));
    ASSERT_TRUE(inserted.wait(1000));
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(model.row(0).cells[HistoryRow::Status], u"SENT"_s);

    model.exchangeChanged(1, with(&HistoryCells::Status, u"WAIT"_s));
    model.exchangeChanged(1, with(&HistoryCells::Code, u"200"_s));
    model.exchangeChanged(2, with(&HistoryCells::IP, u"127.0.0.1"_s));
    model.exchangeChanged(1, with(&HistoryCells::Status, u"DONE"_s));
    model.flush();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(model.row(0).cells[HistoryRow::Status], u"DONE"_s);
    EXPECT_EQ(model.row(0).cells[HistoryRow::Code], u"200"_s);
    EXPECT_EQ(model.row(1).cells[HistoryRow::IP], u"127.0.0.1"_s);
    EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
    add(3);
    model.clear();
    ASSERT_EQ(dropped.size(), 3);
    EXPECT_TRUE(dropped[0].checked);
    EXPECT_EQ(dropped[2].id, 3u) << "clear applies the reports before it";
}

TEST_F(HistoryModelTest, FilterMatchesHostTypeWholeUrlStatusAndCode)
{
    // Regression: the filter and the URL's tooltip missed the query string, and the filter the code.
    QList<HistoryRow> rows { row(1, { u"alpha.test"_s, u"10.0.0.1"_s, u"GET"_s, u"/a"_s },
                                 u"http://alpha.test/a?Token=x"_s),
        row(2, { u"beta.test"_s, {}, u"POST"_s, u"/b"_s, {}, {}, u"SENT-WEB"_s, {}, {}, u"404"_s }),
        row(3, { u"gamma.test"_s, {}, u"CONNECT"_s, u"/c?k"_s, {}, {}, u"Done"_s }) };
    rows[0].note = u"rebuilt"_s;
    model.appendRows(rows);
    EXPECT_EQ(model.index(0, HistoryRow::URL).data(Qt::ToolTipRole).toString(),
        u"http://alpha.test/a?Token=x\nrebuilt"_s);
    const struct {
        const char *text;
        QList<quint64> shown;
    } cases[] = { { "", { 1, 2, 3 } }, { "ALPHA", { 1 } }, { "token", { 1 } }, { "post", { 2 } },
        { "sent", { 2 } }, { "404", { 2 } }, { "?k", { 3 } }, { "10.0.0", {} }, { "-alpha", { 2, 3 } },
        { "  beta ", { 2 } }, { "-", { 1, 2, 3 } }, { "-.test", {} }, { "rebuilt", {} } };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        filter.setFilterText(QString::fromLatin1(c.text));
        QList<quint64> shown;
        for (int i = 0; i < filter.rowCount(); ++i)
            shown.append(model.row(filter.mapToSource(filter.index(i, 0)).row()).id);
        EXPECT_EQ(shown, c.shown);
    }
}

} // namespace
