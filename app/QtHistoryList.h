#pragma once

#include "IHistoryList.h"

#include <QSet>
#include <QTimer>
#include <QTreeWidget>

// The connection history ListView1: a flat list in report view with a check box in the first
// column. Rows are addressed by their 1-based position. Besides the engine's contract it raises
// the list's mouse-button-down and item-click events as signals.
class QtHistoryList : public QTreeWidget, public IHistoryList
{
    Q_OBJECT

public:
    static constexpr int ColumnCount = 9;
    static constexpr int RepaintHoldMs = 40;

    explicit QtHistoryList(QWidget *parent = nullptr);

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
    Alignment columnAlignment(int column) const;

    // Hides the rows whose host, type, URL and status all lack text (any letter case); with a
    // leading "-", the rows where one of them has it. Hidden rows keep their place and number.
    void setFilterText(const QString &text);
    bool rowShown(int index) const;

signals:
    // Button: 1 left, 2 right, 4 middle. Shift: 1 shift, 2 control, 4 alt.
    void mouseButtonDown(int Button, int Shift, int x, int y);
    // A press and release on the same row; the row is selected by then. index is 1-based.
    void itemClick(int index);
    // The arrow, page and home keys moved the selection to row index.
    void keyboardSelect(int index);
    // Enter or Return on the selected row.
    void keyboardEnter(int index);
    // The context-menu key, or a right click with Shift held.
    void rowMenuRequested(int index, const QPoint &globalPos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QTreeWidgetItem *row(int index) const;
    void holdRepaints();
    // follow: scroll to the bottom if the view was there; not while the user points at a row.
    void applyPendingSelection(bool follow = true);
    void applyFilter(QTreeWidgetItem *item);

    QList<Alignment> m_alignments;
    quint64 m_generation = 0;
    QSet<std::pair<quint64, int>> m_checkedWhenCleared;
    int m_pressedRow = 0;
    QTimer m_repaintHold;
    // A selection made while repaints are held; applied with them, since selecting lays the
    // whole list out at once.
    int m_pendingSelection = 0;
    // Whether the view was at its bottom when the held changes began: only then does it follow
    // the new rows, so a user reading older rows is not pulled away under steady traffic.
    bool m_followNewRows = true;
    QString m_filter;
};
