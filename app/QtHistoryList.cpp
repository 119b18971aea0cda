#include "QtHistoryList.h"

#include "Twips.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <utility>

namespace {
Qt::Alignment toQt(IHistoryList::Alignment alignment)
{
    switch (alignment) {
    case IHistoryList::Alignment::Right:
        return Qt::AlignRight | Qt::AlignVCenter;
    case IHistoryList::Alignment::Center:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case IHistoryList::Alignment::Left:
        break;
    }
    return Qt::AlignLeft | Qt::AlignVCenter;
}

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

QtHistoryList::QtHistoryList(QWidget *parent)
    : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("ListView1"));
    setColumnCount(0);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);

    m_repaintHold.setSingleShot(true);
    m_repaintHold.setInterval(RepaintHoldMs);
    connect(&m_repaintHold, &QTimer::timeout, this, [this] {
        applyPendingSelection();
        setUpdatesEnabled(true);
    });
}

// Busy exchanges change rows hundreds of times a second, and repainting the list for each change
// costs far more than the exchange itself. The changes of one short window are painted together.
void QtHistoryList::holdRepaints()
{
    if (m_repaintHold.isActive())
        return;
    m_followNewRows = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    setUpdatesEnabled(false);
    m_repaintHold.start();
}

void QtHistoryList::addColumn(const QString &heading, int widthTwips, Alignment alignment)
{
    const int column = columnCount();
    setColumnCount(column + 1);
    m_alignments.append(alignment);
    QTreeWidgetItem *head = headerItem();
    head->setText(column, heading);
    head->setTextAlignment(column, toQt(alignment));
    setColumnWidth(column, Twips::toPixelsX(widthTwips, this));
}

int QtHistoryList::count() const
{
    return topLevelItemCount();
}

void QtHistoryList::add()
{
    holdRepaints();
    auto *item = new QTreeWidgetItem();
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
    for (int column = 0; column < m_alignments.size(); ++column)
        item->setTextAlignment(column, toQt(m_alignments[column]));
    addTopLevelItem(item);
    applyFilter(item);
}

void QtHistoryList::clear()
{
    holdRepaints();
    m_pendingSelection = 0;
    for (int index = 1; index <= count(); ++index)
        if (checked(index))
            m_checkedWhenCleared.insert({ m_generation, index });
    QTreeWidget::clear();
    m_pressedRow = 0;
    ++m_generation;
}

QTreeWidgetItem *QtHistoryList::row(int index) const
{
    if (index < 1 || index > count())
        return nullptr;
    return topLevelItem(index - 1);
}

QString QtHistoryList::text(int index) const
{
    return subItem(index, 0);
}

void QtHistoryList::setText(int index, const QString &text)
{
    setSubItem(index, 0, text);
}

QString QtHistoryList::subItem(int index, int n) const
{
    QTreeWidgetItem *item = row(index);
    if (!item || n < 0 || n >= ColumnCount)
        return QString();
    return item->text(n);
}

void QtHistoryList::setSubItem(int index, int n, const QString &text)
{
    QTreeWidgetItem *item = row(index);
    if (!item || n < 0 || n >= ColumnCount || item->text(n) == text)
        return;
    holdRepaints();
    item->setText(n, text);
    // Columns keep their designed widths; the whole text is a hover away.
    item->setToolTip(n, text);
    applyFilter(item);
}

bool QtHistoryList::checked(int index) const
{
    QTreeWidgetItem *item = row(index);
    return item && item->checkState(0) == Qt::Checked;
}

void QtHistoryList::setChecked(int index, bool checked)
{
    if (QTreeWidgetItem *item = row(index))
        item->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

int QtHistoryList::selectedIndex() const
{
    if (m_pendingSelection > 0)
        return m_pendingSelection;
    const QList<QTreeWidgetItem *> selected = selectedItems();
    if (selected.isEmpty())
        return 0;
    return indexOfTopLevelItem(selected.first()) + 1;
}

void QtHistoryList::setSelectedIndex(int index)
{
    holdRepaints();
    if (row(index)) {
        m_pendingSelection = index;
        return;
    }
    m_pendingSelection = 0;
    clearSelection();
}

void QtHistoryList::applyPendingSelection(bool follow)
{
    const int index = std::exchange(m_pendingSelection, 0);
    QTreeWidgetItem *item = row(index);
    if (!item)
        return;
    // Selecting scrolls to the row unless auto-scroll is off.
    const bool autoScrolls = hasAutoScroll();
    setAutoScroll(false);
    setCurrentItem(item);
    setAutoScroll(autoScrolls);
    if (follow && m_followNewRows)
        scrollToBottom();
}

void QtHistoryList::setFilterText(const QString &text)
{
    m_filter = text.trimmed();
    for (int i = 0; i < count(); ++i)
        applyFilter(topLevelItem(i));
}

void QtHistoryList::applyFilter(QTreeWidgetItem *item)
{
    const bool exclude = m_filter.startsWith(QLatin1Char('-'));
    const QString needle = exclude ? m_filter.mid(1) : m_filter;
    bool found = false;
    for (const int column : { 0, 2, 3, 6 })
        found = found || item->text(column).contains(needle, Qt::CaseInsensitive);
    item->setHidden(!needle.isEmpty() && found == exclude);
}

bool QtHistoryList::rowShown(int index) const
{
    QTreeWidgetItem *item = row(index);
    return item && !item->isHidden();
}

quint64 QtHistoryList::generation() const
{
    return m_generation;
}

bool QtHistoryList::wasChecked(quint64 generation, int index) const
{
    return generation == m_generation ? checked(index) : m_checkedWhenCleared.contains({ generation, index });
}

IHistoryList::Alignment QtHistoryList::columnAlignment(int column) const
{
    return m_alignments.value(column, Alignment::Left);
}

void QtHistoryList::mousePressEvent(QMouseEvent *event)
{
    applyPendingSelection(false);
    const QPoint pos = event->position().toPoint();
    const int code = buttonCode(event->button());
    if (code != 0)
        emit mouseButtonDown(code, shiftCode(event->modifiers()), pos.x(), pos.y());
    QTreeWidgetItem *item = itemAt(pos);
    m_pressedRow = item ? indexOfTopLevelItem(item) + 1 : 0;
    QTreeWidget::mousePressEvent(event);
    // Every button selects the row it hits, so the reply shown on a right click is that row's.
    if (item && code != 0 && m_pressedRow >= 1 && row(m_pressedRow) == item) {
        setCurrentItem(item);
        if (event->button() == Qt::RightButton && (event->modifiers() & Qt::ShiftModifier))
            emit rowMenuRequested(m_pressedRow, event->globalPosition().toPoint());
    }
}

void QtHistoryList::mouseReleaseEvent(QMouseEvent *event)
{
    const int pressed = m_pressedRow;
    m_pressedRow = 0;
    QTreeWidgetItem *item = itemAt(event->position().toPoint());
    QTreeWidget::mouseReleaseEvent(event);
    if (pressed >= 1 && item && row(pressed) == item && buttonCode(event->button()) != 0)
        emit itemClick(pressed);
}

void QtHistoryList::keyPressEvent(QKeyEvent *event)
{
    applyPendingSelection(false);
    const int before = selectedIndex();
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        if (before >= 1)
            emit keyboardEnter(before);
        return;
    }
    QTreeWidget::keyPressEvent(event);
    const int after = selectedIndex();
    if (after >= 1 && after != before)
        emit keyboardSelect(after);
}

void QtHistoryList::contextMenuEvent(QContextMenuEvent *event)
{
    // A right click shows the reply; with Shift it opens the menu, from the press.
    if (event->reason() == QContextMenuEvent::Mouse)
        return;
    applyPendingSelection(false);
    const int index = selectedIndex();
    if (QTreeWidgetItem *item = row(index)) {
        event->accept();
        emit rowMenuRequested(index, viewport()->mapToGlobal(visualItemRect(item).center()));
    }
}
