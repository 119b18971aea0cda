#include "MemoryHistoryList.h"

void MemoryHistoryList::exchangeAdded(quint64 id, const HistoryCells &cells)
{
    m_rows.append({ id, cells });
}

void MemoryHistoryList::exchangeChanged(quint64 id, const HistoryCells &cells)
{
    for (Row &row : m_rows)
        if (row.id == id)
            row.cells.merge(cells);
}

int MemoryHistoryList::count() const
{
    return static_cast<int>(m_rows.size());
}

quint64 MemoryHistoryList::id(int index) const
{
    return index >= 1 && index <= count() ? m_rows[index - 1].id : 0;
}

void MemoryHistoryList::clear()
{
    m_rows.clear();
}

bool MemoryHistoryList::resent(int index) const
{
    return index >= 1 && index <= count() && m_rows[index - 1].cells.Resent.value_or(false);
}

QStringList MemoryHistoryList::cells(int index) const
{
    if (index < 1 || index > count())
        return {};
    const HistoryCells &c = m_rows[index - 1].cells;
    QStringList texts;
    for (const auto &cell : { c.Host, c.IP, c.Desc, c.URL, c.RequestLength, c.ResponseLength, c.Status,
             c.RequestFile, c.ResponseFile, c.Code, c.FullURL })
        texts.append(cell.value_or(QString()));
    return texts;
}
