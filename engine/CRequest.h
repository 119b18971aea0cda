#pragma once

#include <QByteArray>
#include <QString>

// Gathers the text a browser sends on one connection, recognises the request, cuts out the
// page and the declared body length, decides when the request is complete and then writes it to
// the request record file. Never touches a socket and never logs.
class CRequest
{
public:
    enum StatusCode : qint16 { StatusNone = 0, StatusReceiving = 1, StatusComplete = 2, StatusRefused = 3 };
    enum TypeCode : qint16 { TypeUnknown = 0, TypeGet = 1, TypePost = 2, TypeConnect = 3, TypeGetz = 4 };

    // A declared body this long or longer is refused.
    static constexpr qint32 MaxContentLength = 100048576;
    // A header that has not ended within this many bytes is refused.
    static constexpr qint32 MaxHeaderLength = 64 * 1024;

    void setRequestFile(const QString &Filename);
    QString RequestFile() const;
    const QByteArray &Request() const;
    qint16 RequestType() const;
    void setPage(const QString &myPage);
    QString page() const;
    void setStatus(qint16 st);
    qint16 Status() const;
    qint32 ContentLength() const;
    qint32 TotalBytes() const;
    qint32 HeaderLength() const;
    qint32 PacketCount() const;

    qint16 BufferData(const QByteArray &temp);
    qint16 ProcessRequest();

    // Why a refused request was refused, as the HTTP status to answer with (400, 411, 413, 431),
    // and a short reason for the answer and the log; 0 and "" unless Status is 3.
    int refusalCode() const;
    QString refusalReason() const;

private:
    void ParsePage(const QByteArray &text);
    void SaveRequest();
    qint16 refuse(int code, const QString &reason);
    // A further request after the owner has reset Status starts from an empty buffer.
    void startAfresh();
    bool checkHeaderBytes();
    bool checkRequestLine();

    QString m_requestFile;
    qint32 m_packetCount = 0;
    QString m_page;
    bool m_headerComplete = false;
    qint16 m_requestType = TypeUnknown;
    qint32 m_contentLength = 0;
    qint32 m_headerLength = 0;
    qint16 m_status = StatusNone;
    qint32 m_totalBytes = 0;
    QByteArray m_request;
    int m_refusalCode = 0;
    QString m_refusalReason;
    qsizetype m_headerEnd = 0; // offset just past CR LF CR LF, once found
    qsizetype m_headerSearchFrom = 0; // where the search for the header end goes on
    qsizetype m_checkedBytes = 0; // header bytes already checked for NUL and bare CR
};
