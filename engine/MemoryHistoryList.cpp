#include "MemoryHistoryList.h"

void MemoryHistoryList::addColumn(const QString &heading, int widthTwips, Alignment alignment)
{
    m_columns.append({ heading, widthTwips, alignment });
}

int MemoryHistoryList::count() const
{
    return static_cast<int>(m_rows.size());
}

void MemoryHistoryList::add()
{
    m_rows.append(Row {});
}

void MemoryHistoryList::clear()
{
    for (int index = 1; index <= count(); ++index)
        if (checked(index))
            m_checkedWhenCleared.insert({ m_generation, index });
    m_rows.clear();
    m_selected = 0;
    ++m_generation;
}

QString MemoryHistoryList::text(int index) const
{
    return cells(index).value(0);
}

void MemoryHistoryList::setText(int index, const QString &text)
{
    setSubItem(index, 0, text);
}

QString MemoryHistoryList::subItem(int index, int n) const
{
    return cells(index).value(n);
}

void MemoryHistoryList::setSubItem(int index, int n, const QString &text)
{
    if (index < 1 || index > count() || n < 0 || n > 8)
        return;
    m_rows[index - 1].cells[n] = text;
}

bool MemoryHistoryList::checked(int index) const
{
    return index >= 1 && index <= count() && m_rows[index - 1].checked;
}

int MemoryHistoryList::selectedIndex() const
{
    return m_selected;
}

void MemoryHistoryList::setSelectedIndex(int index)
{
    m_selected = (index >= 1 && index <= count()) ? index : 0;
}

quint64 MemoryHistoryList::generation() const
{
    return m_generation;
}

bool MemoryHistoryList::wasChecked(quint64 generation, int index) const
{
    return generation == m_generation ? checked(index) : m_checkedWhenCleared.contains({ generation, index });
}

void MemoryHistoryList::setChecked(int index, bool checked)
{
    if (index >= 1 && index <= count())
        m_rows[index - 1].checked = checked;
}

QStringList MemoryHistoryList::cells(int index) const
{
    if (index < 1 || index > count())
        return QStringList(9);
    return m_rows[index - 1].cells;
}
