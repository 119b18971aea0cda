#pragma once

#include <QString>

#include <stdexcept>

// An error raised to the caller, carrying the number, source and description that the
// design gives every raised error.
class RaisedError : public std::runtime_error
{
public:
    // Base of the object-defined error numbers (hexadecimal 80040000).
    static constexpr qint32 ObjectErrorBase = -2147221504;

    RaisedError(qint32 number, const QString &source, const QString &description);

    qint32 Number;
    QString Source;
    QString Description;
};
