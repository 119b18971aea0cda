#pragma once

#include "IHistoryList.h"

#include <QList>
#include <QSet>
#include <QStringList>

// A history list held in memory, for running the engine without windows.
class MemoryHistoryList : public IHistoryList
{
public:
    struct Column {
        QString heading;
        int widthTwips = 0;
        Alignment alignment = Alignment::Left;
    };

    void addColumn(const QString &heading, int widthTwips, Alignment alignment) override;
    int count() const override;
    void add() override;
    void clear() override;
    QString text(int index) const override;
    void setText(int index, const QString &text) override;
    QString subItem(int index, int n) const override;
    void setSubItem(int index, int n, const QString &text) override;
    bool checked(int index) const override;
    int selectedIndex() const override;
    void setSelectedIndex(int index) override;
    quint64 generation() const override;
    bool wasChecked(quint64 generation, int index) const override;

    void setChecked(int index, bool checked);
    const QList<Column> &columns() const { return m_columns; }
    // The nine cells of a row: text, then sub-items 1 to 8.
    QStringList cells(int index) const;

private:
    struct Row {
        QStringList cells = QStringList(9);
        bool checked = false;
    };
    QList<Column> m_columns;
    QList<Row> m_rows;
    int m_selected = 0;
    quint64 m_generation = 0;
    QSet<std::pair<quint64, int>> m_checkedWhenCleared;
};
