#pragma once

#include <QTreeView>

class HistoryFilter;
class HistoryModel;

// The connection history ListView1: the history model through its filter, in report view with a
// check box in the first column. Rows are named by their row in the model (0-based), whatever the
// filter hides. Besides showing the rows it raises the list's mouse-button-down and item-click
// events as signals, and keeps the newest row selected while the user is not working in the list.
class HistoryView : public QTreeView
{
    Q_OBJECT

public:
    // A row the user picked holds the selection this long against new rows.
    static constexpr qint64 PickHoldMs = 60000;

    HistoryView(HistoryModel *history, QWidget *parent = nullptr);

    HistoryModel *history() const;
    HistoryFilter *filter() const;
    void setFilterText(const QString &text);
    bool rowShown(int row) const;
    // The selected row, -1 when none.
    int selectedRow() const;
    void selectRow(int row);
    // Where the row is drawn in the viewport; empty when it is hidden.
    QRect rowRect(int row) const;

signals:
    // Button: 1 left, 2 right, 4 middle. Shift: 1 shift, 2 control, 4 alt.
    void mouseButtonDown(int Button, int Shift, int x, int y);
    // A press and release on the same row; the row is selected by then.
    void itemClick(int row);
    // The arrow, page and home keys moved the selection to row.
    void keyboardSelect(int row);
    // Enter or Return on the selected row.
    void keyboardEnter(int row);
    // The context-menu key, or a right click with Shift held.
    void rowMenuRequested(int row, const QPoint &globalPos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    int rowAt(const QPoint &pos) const;
    void rowsAppended(int first, int count);
    void picked();

    HistoryModel *m_history;
    HistoryFilter *m_filter;
    int m_pressedRow = -1;
    qint64 m_pickedAt = 0;
    bool m_everPicked = false;
};
