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
    // fullUrl, when known, in place of the URL the record gives: a decrypted or HTTP/2 request
    // is recorded without its scheme, and HTTP/2 ones without a Host field.
    static QString fromRecord(const QByteArray &record, const QString &fullUrl = QString());
    // The request's absolute URL, as the proxy's history names it.
    static QString url(const RecordMessage &request);
    // One shell word that stands for text in any POSIX shell.
    static QString quote(const QString &text);
};
