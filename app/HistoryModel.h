#pragma once

#include "IHistoryList.h"
#include "TextPattern.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QSortFilterProxyModel>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <vector>

// One row of the connection history: the cells, the check mark, and the exchange it belongs to.
struct HistoryRow {
    enum Column { Host, IP, Type, URL, QBytes, ABytes, Status, RequestFile, ResponseFile, Code, ColumnCount };

    quint64 id = 0;
    std::array<QString, ColumnCount> cells;
    QString fullUrl;
    // Shown in the row's tooltips after the cell's own text, e.g. how a row opened from a session
    // was made.
    QString note;
    bool checked = false;
    // Sent again by the user: the first column shows an icon.
    bool resent = false;
};

// The connection history: rows in the order their exchanges began, keyed by exchange id. The
// engine's reports are collected and applied together, at most once per BatchMs, as one
// insertion and one change per run of nearby rows they touch. When the rows pass the limit, the
// oldest go, or all.
class HistoryModel : public QAbstractTableModel, public IHistoryList
{
    Q_OBJECT

public:
    enum class LimitMode { Clear, Oldest };
    static constexpr int BatchMs = 50;
    static constexpr int DefaultLimit = 200;

    explicit HistoryModel(QObject *parent = nullptr);

    // IHistoryList: the engine's reports, queued until the next batch. A
    // change for an id without a row (removed, or never added) is dropped; an exchange added
    // twice is taken as changed.
    void exchangeAdded(quint64 id, const HistoryCells &cells) override;
    void exchangeChanged(quint64 id, const HistoryCells &cells) override;

    // Applies what the engine reported since the last batch, now.
    void flush();

    // Past limit rows, Clear removes every row (ticked ones too) and Oldest removes the oldest
    // unticked rows one at a time until limit remain. Applied at the next batch.
    void setLimit(int limit, LimitMode mode);
    int limit() const;
    LimitMode limitMode() const;

    // Rows that were not reported by the engine (an opened session): appended at once, after
    // flushing; their ids are drawn here when 0 or already listed. The limit applies to them too.
    void appendRows(QList<HistoryRow> rows);
    // Removes every row, after flushing.
    void clear();

    // A copy: the model keeps its rows packed.
    HistoryRow row(int index) const;
    // The row's index, -1 when the exchange has no row.
    int indexOf(quint64 id) const;
    bool anyChecked() const;
    void setChecked(int index, bool checked);

    // Column headings, widths in twips and alignments as the view sets them up.
    static QString heading(int column);
    static int widthTwips(int column);
    static Qt::Alignment alignment(int column);

    // QAbstractItemModel: the check box is in column 0; tooltips show a cell's whole text, the URL
    // column's the whole URL, and then the note.
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Called with each log line the model writes ("... Limit Reached ...", "Done purging.").
    std::function<void(const QString &line)> log;

signals:
    // Rows left the history (limit, clear), with their check marks as they were: the owner
    // deletes the records of the unticked ones and tells the engine.
    void rowsDropped(const QList<HistoryRow> &rows);
    // A batch appended count rows at first (the view may select the newest).
    void rowsAppended(int first, int count);

private:
    friend class HistoryFilter;

    // The cells, then the whole URL and the note.
    enum Part { FullUrlPart = HistoryRow::ColumnCount, NotePart, PartCount };
    using PartViews = std::array<QStringView, PartCount>;

    // A row as kept: its texts one after another in one string, so that each row is one small
    // allocation rather than a dozen, and 100,000 rows stay well under 100 MiB.
    struct PackedRow {
        quint64 id = 0;
        // Rises from row to row, so that an exchange's row is found by bisection however many rows
        // went before it, and removing rows renumbers none.
        qint64 sequence = 0;
        QString text;
        std::array<quint32, PartCount> ends {};
        bool checked = false;
        bool resent = false;

        QStringView part(int n) const;
        void setParts(const PartViews &parts);
        // Whether a cell changed.
        bool apply(const HistoryCells &cells);
    };

    static PackedRow packed(const HistoryRow &row);
    static HistoryRow unpacked(const PackedRow &row);
    void scheduleBatch();
    void append(std::vector<PackedRow> rows);
    void applyLimit();
    // indices ascending.
    void removeAt(const std::vector<int> &indices);
    void removeAll();
    void writeLog(const QString &line) const;

    std::deque<PackedRow> m_rows;
    QHash<quint64, qint64> m_sequences;
    qint64 m_nextSequence = 0;
    qsizetype m_checkedCount = 0;

    std::vector<std::pair<quint64, HistoryCells>> m_added;
    QHash<quint64, qsizetype> m_addedIndex;
    QHash<quint64, HistoryCells> m_changed;
    QTimer m_batch;

    int m_limit = DefaultLimit;
    LimitMode m_limitMode = LimitMode::Clear;
    bool m_limitLogged = false;
    quint64 m_nextOwnId;
};

// The history filter: with text, only rows whose host, type, whole URL, status or code contain it
// (any letter case); with a leading "-", only rows where none does. Rows keep their order.
class HistoryFilter : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setFilterText(const QString &text);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    TextPattern m_pattern;
};
