#pragma once

#include <QByteArray>
#include <QString>

struct RecordMessage;

// A curl command line that sends a recorded request again, as it was: method, URL, every
// end-to-end header field in its order and the body byte for byte. curl's own default fields
// are switched off where the record has none.
class CurlCommand
{
public:
    static QString fromRecord(const QByteArray &record);
    // The request's absolute URL, as the proxy's history names it.
    static QString url(const RecordMessage &request);
    // One shell word that stands for text in any POSIX shell.
    static QString quote(const QString &text);
};
