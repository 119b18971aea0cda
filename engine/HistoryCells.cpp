#include "HistoryCells.h"

void HistoryCells::merge(const HistoryCells &other)
{
    for (auto member : { &HistoryCells::Host, &HistoryCells::IP, &HistoryCells::Desc, &HistoryCells::URL,
             &HistoryCells::RequestLength, &HistoryCells::ResponseLength, &HistoryCells::Status,
             &HistoryCells::RequestFile, &HistoryCells::ResponseFile, &HistoryCells::Code,
             &HistoryCells::FullURL })
        if (other.*member)
            this->*member = other.*member;
    if (other.Resent)
        Resent = other.Resent;
}
