#include "HistoryView.h"

#include "Clock.h"
#include "HistoryModel.h"
#include "Twips.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

namespace {
int buttonCode(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 4;
    default:
        return 0;
    }
}

int shiftCode(Qt::KeyboardModifiers modifiers)
{
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0)
        | (modifiers & Qt::AltModifier ? 4 : 0);
}
} // namespace

HistoryView::HistoryView(HistoryModel *history, QWidget *parent)
    : QTreeView(parent)
    , m_history(history)
    , m_filter(new HistoryFilter(this))
{
    setObjectName(QStringLiteral("ListView1"));
    m_filter->setSourceModel(history);
    setModel(m_filter);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    for (int column = 0; column < HistoryRow::ColumnCount; ++column)
        setColumnWidth(column, Twips::toPixelsX(HistoryModel::widthTwips(column), this));
    // The URL takes whatever width the other columns leave.
    header()->setSectionResizeMode(HistoryRow::URL, QHeaderView::Stretch);
    connect(history, &HistoryModel::rowsAppended, this, &HistoryView::rowsAppended);
}

HistoryModel *HistoryView::history() const
{
    return m_history;
}

HistoryFilter *HistoryView::filter() const
{
    return m_filter;
}

void HistoryView::setFilterText(const QString &text)
{
    m_filter->setFilterText(text);
}

bool HistoryView::rowShown(int row) const
{
    return m_filter->mapFromSource(m_history->index(row, 0)).isValid();
}

int HistoryView::selectedRow() const
{
    const QModelIndexList selected = selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : m_filter->mapToSource(selected.first()).row();
}

void HistoryView::selectRow(int row)
{
    const QModelIndex index = m_filter->mapFromSource(m_history->index(row, 0));
    if (!index.isValid()) {
        clearSelection();
        return;
    }
    // Selecting would scroll to the row; whether the view follows new rows is decided apart.
    const bool autoScrolls = hasAutoScroll();
    setAutoScroll(false);
    setCurrentIndex(index);
    setAutoScroll(autoScrolls);
}

QRect HistoryView::rowRect(int row) const
{
    const QModelIndex index = m_filter->mapFromSource(m_history->index(row, 0));
    return index.isValid() ? visualRect(index).united(visualRect(index.siblingAtColumn(HistoryRow::URL)))
                           : QRect();
}

int HistoryView::rowAt(const QPoint &pos) const
{
    const QModelIndex index = indexAt(pos);
    return index.isValid() ? m_filter->mapToSource(index).row() : -1;
}

void HistoryView::picked()
{
    m_everPicked = true;
    m_pickedAt = Clock::tickCount();
}

// New rows take the selection, so that the newest exchange is a click on Enter away, unless the
// user picked a row lately: then the pane keeps showing what they chose. The view follows the new
// rows only from its bottom, so a user reading older rows is not pulled away.
void HistoryView::rowsAppended(int first, int count)
{
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    if (!m_everPicked || Clock::tickCount() - m_pickedAt >= PickHoldMs) {
        for (int row = first + count - 1; row >= first; --row) {
            if (rowShown(row)) {
                selectRow(row);
                break;
            }
        }
    }
    if (atBottom)
        scrollToBottom();
}

void HistoryView::mousePressEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    const int code = buttonCode(event->button());
    if (code != 0)
        emit mouseButtonDown(code, shiftCode(event->modifiers()), pos.x(), pos.y());
    m_pressedRow = rowAt(pos);
    QTreeView::mousePressEvent(event);
    // Every button selects the row it hits, so the reply shown on a right click is that row's.
    if (m_pressedRow >= 0 && code != 0) {
        picked();
        selectRow(m_pressedRow);
        if (event->button() == Qt::RightButton && (event->modifiers() & Qt::ShiftModifier))
            emit rowMenuRequested(m_pressedRow, event->globalPosition().toPoint());
    }
}

void HistoryView::mouseReleaseEvent(QMouseEvent *event)
{
    const int pressed = std::exchange(m_pressedRow, -1);
    const int row = rowAt(event->position().toPoint());
    QTreeView::mouseReleaseEvent(event);
    if (pressed >= 0 && row == pressed && buttonCode(event->button()) != 0)
        emit itemClick(pressed);
}

void HistoryView::keyPressEvent(QKeyEvent *event)
{
    const int before = selectedRow();
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        if (before >= 0)
            emit keyboardEnter(before);
        return;
    }
    QTreeView::keyPressEvent(event);
    const int after = selectedRow();
    if (after >= 0 && after != before) {
        picked();
        emit keyboardSelect(after);
    }
}

void HistoryView::contextMenuEvent(QContextMenuEvent *event)
{
    // A right click shows the reply; with Shift it opens the menu, from the press.
    if (event->reason() == QContextMenuEvent::Mouse)
        return;
    const int row = selectedRow();
    if (row >= 0) {
        event->accept();
        emit rowMenuRequested(row, viewport()->mapToGlobal(rowRect(row).center()));
    }
}
