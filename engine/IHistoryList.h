#pragma once

#include "HistoryCells.h"

#include <QtGlobal>

// The connection history as the engine sees it: exchanges reported by id as events, never by a
// row's position, and never read back. The main window keeps the rows; a report for an exchange
// whose row is gone (a purge, a clear) is dropped there, and the window tells the server which
// rows went (CProxyServer::historyRowsRemoved). The engine tests use MemoryHistoryList.
class IHistoryList
{
public:
    virtual ~IHistoryList() = default;

    // A new exchange; the ids of a run count up from 1.
    virtual void exchangeAdded(quint64 id, const HistoryCells &cells) = 0;
    virtual void exchangeChanged(quint64 id, const HistoryCells &cells) = 0;
};
