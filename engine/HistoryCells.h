#pragma once

#include <QString>

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
    std::optional<bool> Resent; // sent again by the user, not by a browser

    // Sets every member other has.
    void merge(const HistoryCells &other);
};
