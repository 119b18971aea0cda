#include "HistoryModel.h"

#include <QApplication>
#include <QSet>
#include <QStyle>

#include <algorithm>
#include <utility>

namespace {
struct ColumnInfo {
    const char *heading;
    int widthTwips;
    Qt::Alignment alignment;
};

constexpr Qt::Alignment Left = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::Alignment Right = Qt::AlignRight | Qt::AlignVCenter;
constexpr Qt::Alignment Center = Qt::AlignHCenter | Qt::AlignVCenter;

constexpr std::array<ColumnInfo, HistoryRow::ColumnCount> Columns { {
    { "Host", 2000, Left },
    { "IP Address", 1300, Left },
    { "Type", 700, Center },
    { "URL", 3000, Left },
    { "Q-Bytes", 800, Right },
    { "A-Bytes", 800, Right },
    { "Status", 1000, Center },
    { "Request File (Q)", 2000, Left },
    { "Response File (A)", 2000, Left },
    { "Code", 600, Center },
} };

// Changed rows this close together are reported as one range: the view repaints only what it
// shows, and the filter reads a few rows more rather than handling many signals.
constexpr int RangeGap = 32;

// The engine numbers its exchanges upwards from 1 and never reaches these.
constexpr quint64 FirstOwnId = quint64(1) << 62;
} // namespace

QStringView HistoryModel::PackedRow::part(int n) const
{
    const quint32 begin = n > 0 ? ends[n - 1] : 0;
    return QStringView(text).mid(begin, ends[n] - begin);
}

void HistoryModel::PackedRow::setParts(const PartViews &parts)
{
    qsizetype length = 0;
    for (const QStringView part : parts)
        length += part.size();
    QString packed;
    packed.reserve(length);
    for (int n = 0; n < PartCount; ++n) {
        packed += parts[n];
        ends[n] = quint32(packed.size());
    }
    text = std::move(packed);
}

bool HistoryModel::PackedRow::apply(const HistoryCells &cells)
{
    static constexpr std::pair<std::optional<QString> HistoryCells::*, int> members[] = {
        { &HistoryCells::Host, HistoryRow::Host },
        { &HistoryCells::IP, HistoryRow::IP },
        { &HistoryCells::Desc, HistoryRow::Type },
        { &HistoryCells::URL, HistoryRow::URL },
        { &HistoryCells::RequestLength, HistoryRow::QBytes },
        { &HistoryCells::ResponseLength, HistoryRow::ABytes },
        { &HistoryCells::Status, HistoryRow::Status },
        { &HistoryCells::RequestFile, HistoryRow::RequestFile },
        { &HistoryCells::ResponseFile, HistoryRow::ResponseFile },
        { &HistoryCells::Code, HistoryRow::Code },
        { &HistoryCells::FullURL, FullUrlPart },
    };
    PartViews views;
    for (int n = 0; n < PartCount; ++n)
        views[n] = part(n);
    bool changed = false;
    for (const auto &[member, n] : members) {
        const std::optional<QString> &value = cells.*member;
        if (value && *value != views[n]) {
            views[n] = *value;
            changed = true;
        }
    }
    if (changed)
        setParts(views);
    if (cells.Resent && *cells.Resent != resent) {
        resent = *cells.Resent;
        changed = true;
    }
    return changed;
}

HistoryModel::HistoryModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_nextOwnId(FirstOwnId)
{
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &HistoryModel::flush);
}

HistoryModel::PackedRow HistoryModel::packed(const HistoryRow &row)
{
    PackedRow packed;
    packed.id = row.id;
    packed.checked = row.checked;
    packed.resent = row.resent;
    PartViews parts;
    std::copy(row.cells.begin(), row.cells.end(), parts.begin());
    parts[FullUrlPart] = row.fullUrl;
    parts[NotePart] = row.note;
    packed.setParts(parts);
    return packed;
}

HistoryRow HistoryModel::unpacked(const PackedRow &packed)
{
    HistoryRow row;
    row.id = packed.id;
    row.checked = packed.checked;
    row.resent = packed.resent;
    for (int n = 0; n < HistoryRow::ColumnCount; ++n)
        row.cells[n] = packed.part(n).toString();
    row.fullUrl = packed.part(FullUrlPart).toString();
    row.note = packed.part(NotePart).toString();
    return row;
}

void HistoryModel::exchangeAdded(quint64 id, const HistoryCells &cells)
{
    if (m_addedIndex.contains(id) || m_sequences.contains(id)) {
        exchangeChanged(id, cells);
        return;
    }
    m_addedIndex.insert(id, qsizetype(m_added.size()));
    m_added.emplace_back(id, cells);
    scheduleBatch();
}

void HistoryModel::exchangeChanged(quint64 id, const HistoryCells &cells)
{
    if (const auto added = m_addedIndex.constFind(id); added != m_addedIndex.cend())
        m_added[*added].second.merge(cells);
    else if (m_sequences.contains(id))
        m_changed[id].merge(cells);
    else
        return;
    scheduleBatch();
}

void HistoryModel::scheduleBatch()
{
    if (!m_batch.isActive())
        m_batch.start();
}

void HistoryModel::flush()
{
    m_batch.stop();
    const QHash<quint64, HistoryCells> changed = std::exchange(m_changed, {});
    std::vector<std::pair<quint64, HistoryCells>> added = std::exchange(m_added, {});
    m_addedIndex.clear();

    std::vector<int> touched;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        const int at = indexOf(it.key());
        if (at >= 0 && m_rows[at].apply(it.value()))
            touched.push_back(at);
    }
    std::sort(touched.begin(), touched.end());
    for (size_t first = 0; first < touched.size();) {
        size_t last = first;
        while (last + 1 < touched.size() && touched[last + 1] - touched[last] <= RangeGap)
            ++last;
        emit dataChanged(index(touched[first], 0), index(touched[last], HistoryRow::ColumnCount - 1),
            { Qt::DisplayRole, Qt::ToolTipRole, Qt::DecorationRole });
        first = last + 1;
    }

    if (!added.empty()) {
        std::vector<PackedRow> rows(added.size());
        for (size_t i = 0; i < added.size(); ++i) {
            rows[i].id = added[i].first;
            rows[i].apply(added[i].second);
        }
        append(std::move(rows));
    }
    applyLimit();
}

void HistoryModel::append(std::vector<PackedRow> rows)
{
    const int first = rowCount();
    const int count = int(rows.size());
    beginInsertRows({}, first, first + count - 1);
    for (PackedRow &row : rows) {
        row.sequence = m_nextSequence++;
        m_sequences.insert(row.id, row.sequence);
        m_checkedCount += row.checked ? 1 : 0;
        m_rows.push_back(std::move(row));
    }
    endInsertRows();
    emit rowsAppended(first, count);
}

void HistoryModel::appendRows(QList<HistoryRow> rows)
{
    flush();
    if (rows.isEmpty())
        return;
    std::vector<PackedRow> packedRows;
    packedRows.reserve(size_t(rows.size()));
    QSet<quint64> ids;
    for (HistoryRow &row : rows) {
        if (row.id == 0 || m_sequences.contains(row.id) || ids.contains(row.id))
            row.id = m_nextOwnId++;
        ids.insert(row.id);
        packedRows.push_back(packed(row));
    }
    rows.clear();
    append(std::move(packedRows));
    applyLimit();
}

void HistoryModel::applyLimit()
{
    if (rowCount() <= m_limit)
        return;
    if (m_limitMode == LimitMode::Clear) {
        writeLog(QStringLiteral("%1 Temp File Limit Reached - Auto-Purging...").arg(m_limit));
        removeAll();
        writeLog(QStringLiteral("Done purging."));
        return;
    }
    const qsizetype excess = std::min<qsizetype>(rowCount() - m_limit, rowCount() - m_checkedCount);
    if (excess <= 0)
        return;
    std::vector<int> oldest;
    oldest.reserve(size_t(excess));
    for (int i = 0; qsizetype(oldest.size()) < excess; ++i)
        if (!m_rows[i].checked)
            oldest.push_back(i);
    if (!m_limitLogged) {
        m_limitLogged = true;
        writeLog(QStringLiteral("%1 Row Limit Reached - Removing the oldest rows.").arg(m_limit));
    }
    removeAt(oldest);
}

void HistoryModel::removeAt(const std::vector<int> &indices)
{
    QList<HistoryRow> dropped;
    dropped.reserve(qsizetype(indices.size()));
    // Runs from the last, so that the indices of the runs still to go hold.
    for (size_t end = indices.size(); end > 0;) {
        size_t begin = end - 1;
        while (begin > 0 && indices[begin - 1] + 1 == indices[begin])
            --begin;
        const int first = indices[begin];
        const int last = indices[end - 1];
        beginRemoveRows({}, first, last);
        for (int i = last; i >= first; --i) {
            dropped.append(unpacked(m_rows[i]));
            m_sequences.remove(m_rows[i].id);
            m_checkedCount -= m_rows[i].checked ? 1 : 0;
        }
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        end = begin;
    }
    std::reverse(dropped.begin(), dropped.end());
    emit rowsDropped(dropped);
}

void HistoryModel::removeAll()
{
    QList<HistoryRow> dropped;
    dropped.reserve(rowCount());
    for (const PackedRow &row : m_rows)
        dropped.append(unpacked(row));
    beginResetModel();
    m_rows.clear();
    m_sequences.clear();
    m_checkedCount = 0;
    endResetModel();
    emit rowsDropped(dropped);
}

void HistoryModel::clear()
{
    flush();
    m_limitLogged = false;
    if (!m_rows.empty())
        removeAll();
}

void HistoryModel::setLimit(int limit, LimitMode mode)
{
    m_limit = std::clamp(limit, 10, 1000000);
    m_limitMode = mode;
    m_limitLogged = false;
    if (rowCount() > m_limit)
        scheduleBatch();
}

int HistoryModel::limit() const
{
    return m_limit;
}

HistoryModel::LimitMode HistoryModel::limitMode() const
{
    return m_limitMode;
}

void HistoryModel::writeLog(const QString &line) const
{
    if (log)
        log(line);
}

HistoryRow HistoryModel::row(int index) const
{
    if (index < 0 || index >= rowCount())
        return {};
    return unpacked(m_rows[size_t(index)]);
}

int HistoryModel::indexOf(quint64 id) const
{
    const auto found = m_sequences.constFind(id);
    if (found == m_sequences.cend())
        return -1;
    const auto row = std::lower_bound(m_rows.cbegin(), m_rows.cend(), *found,
        [](const PackedRow &row, qint64 sequence) { return row.sequence < sequence; });
    return row != m_rows.cend() && row->sequence == *found ? int(row - m_rows.cbegin()) : -1;
}

bool HistoryModel::anyChecked() const
{
    return m_checkedCount > 0;
}

void HistoryModel::setChecked(int index, bool checked)
{
    if (index < 0 || index >= rowCount() || m_rows[size_t(index)].checked == checked)
        return;
    m_rows[size_t(index)].checked = checked;
    m_checkedCount += checked ? 1 : -1;
    const QModelIndex cell = this->index(index, 0);
    emit dataChanged(cell, cell, { Qt::CheckStateRole });
}

QString HistoryModel::heading(int column)
{
    return column >= 0 && column < HistoryRow::ColumnCount ? QString::fromLatin1(Columns[column].heading)
                                                           : QString();
}

int HistoryModel::widthTwips(int column)
{
    return column >= 0 && column < HistoryRow::ColumnCount ? Columns[column].widthTwips : 0;
}

Qt::Alignment HistoryModel::alignment(int column)
{
    return column >= 0 && column < HistoryRow::ColumnCount ? Columns[column].alignment : Left;
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : HistoryRow::ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= HistoryRow::ColumnCount)
        return {};
    const PackedRow &row = m_rows[size_t(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return row.part(column).toString();
    case Qt::TextAlignmentRole:
        return int(alignment(column));
    case Qt::CheckStateRole:
        if (column == 0)
            return int(row.checked ? Qt::Checked : Qt::Unchecked);
        break;
    case Qt::DecorationRole:
        if (column == 0 && row.resent)
            return QApplication::style()->standardIcon(QStyle::SP_BrowserReload);
        break;
    case Qt::ToolTipRole: {
        const bool wholeUrl = column == HistoryRow::URL && !row.part(FullUrlPart).isEmpty();
        QString tip = row.part(wholeUrl ? int(FullUrlPart) : column).toString();
        if (const QStringView note = row.part(NotePart); !note.isEmpty()) {
            if (!tip.isEmpty())
                tip += u'\n';
            tip += note;
        }
        if (!tip.isEmpty())
            return tip;
        break;
    }
    default:
        break;
    }
    return {};
}

bool HistoryModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0 || index.row() >= rowCount())
        return false;
    setChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags HistoryModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == 0)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return heading(section);
    if (orientation == Qt::Horizontal && role == Qt::TextAlignmentRole)
        return int(alignment(section));
    return QAbstractTableModel::headerData(section, orientation, role);
}

void HistoryFilter::setFilterText(const QString &text)
{
    TextPattern pattern(text);
    if (pattern.text() == m_pattern.text())
        return;
    m_pattern = std::move(pattern);
    // One layout change for the whole list: filtering again row range by row range costs the view
    // a notice per run of rows shown or hidden, which over many scattered rows takes seconds.
    invalidate();
}

bool HistoryFilter::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const auto *model = qobject_cast<const HistoryModel *>(sourceModel());
    if (m_pattern.isEmpty() || !model || sourceParent.isValid() || sourceRow >= model->rowCount())
        return true;
    const HistoryModel::PackedRow &row = model->m_rows[size_t(sourceRow)];
    const QStringView fullUrl = row.part(HistoryModel::FullUrlPart);
    return m_pattern.matches(
        { fullUrl.isEmpty() ? row.part(HistoryRow::URL) : fullUrl, row.part(HistoryRow::Host),
            row.part(HistoryRow::Type), row.part(HistoryRow::Status), row.part(HistoryRow::Code) });
}
