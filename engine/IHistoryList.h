#pragma once

#include <QString>

// The connection history as the engine sees it: rows addressed by their 1-based position, each
// with a text, eight sub-items and a check mark. The main window implements it over a Qt item
// view; the engine tests use MemoryHistoryList.
class IHistoryList
{
public:
    enum class Alignment { Left, Right, Center };

    virtual ~IHistoryList() = default;

    // ColumnHeaders.Add: appends a column; the first shows the row text, the next the sub-items.
    virtual void addColumn(const QString &heading, int widthTwips, Alignment alignment) = 0;
    // ListItems.Count
    virtual int count() const = 0;
    // ListItems.Add with text "": appends an empty row; its position is the old count + 1.
    virtual void add() = 0;
    // ListItems.Clear
    virtual void clear() = 0;
    // Row text and sub-items (n from 1 to 8) of the row at 1-based position index.
    virtual QString text(int index) const = 0;
    virtual void setText(int index, const QString &text) = 0;
    virtual QString subItem(int index, int n) const = 0;
    virtual void setSubItem(int index, int n, const QString &text) = 0;
    virtual bool checked(int index) const = 0;
    // Selected row, 0 when none.
    virtual int selectedIndex() const = 0;
    virtual void setSelectedIndex(int index) = 0;
    // Changes whenever the rows are cleared, so a holder of a row position can tell that the
    // row it was given is gone.
    virtual quint64 generation() const = 0;
    // Whether the row at position index of that generation is ticked, or was ticked when its
    // generation was cleared: the purge keeps the records of such a row, so whoever holds its
    // exchange keeps them too.
    virtual bool wasChecked(quint64 generation, int index) const = 0;
};
