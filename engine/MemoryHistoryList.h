#pragma once

#include "IHistoryList.h"

#include <QList>
#include <QStringList>

// A history list held in memory, for running the engine without windows: one row per exchange,
// in the order they were added.
class MemoryHistoryList : public IHistoryList
{
public:
    void exchangeAdded(quint64 id, const HistoryCells &cells) override;
    void exchangeChanged(quint64 id, const HistoryCells &cells) override;

    int count() const;
    quint64 id(int index) const;
    // Removes every row, as a clear of the history does.
    void clear();
    // The cells of the row at 1-based position index: Host, IP, Type, URL, Q-Bytes, A-Bytes,
    // Status, the two record files, Code and the whole URL.
    QStringList cells(int index) const;
    // The row at 1-based position index was sent again by the user.
    bool resent(int index) const;

private:
    struct Row {
        quint64 id = 0;
        HistoryCells cells;
    };
    QList<Row> m_rows;
};
