#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// What an exchange's row shows, as text. A member left empty keeps what the row had.
struct HistoryCells {
    std::optional<QString> Host;
    std::optional<QString> IP;
    std::optional<QString> Desc; // the Type column
    std::optional<QString> URL; // the path as the URL column shows it
    std::optional<QString> RequestLength; // in the user's number format
    std::optional<QString> ResponseLength;
    std::optional<QString> Status;
    std::optional<QString> RequestFile; // file names in the records folder, never paths
    std::optional<QString> ResponseFile;
    std::optional<QString> Code; // the reply's status code
    std::optional<QString> FullURL; // scheme, authority, path and query

    // Sets every member other has.
    void merge(const HistoryCells &other);
};

// The connection history as the engine sees it: it reports exchanges by their id and never reads
// the list back. The main window keeps the rows; a report for an exchange whose row was removed
// (a purge, a clear) is dropped there. The engine tests use MemoryHistoryList.
class IHistoryList
{
public:
    virtual ~IHistoryList() = default;

    // A new exchange, with the ids of this run counting up from 1.
    virtual void exchangeAdded(quint64 id, const HistoryCells &cells) = 0;
    virtual void exchangeChanged(quint64 id, const HistoryCells &cells) = 0;
};
