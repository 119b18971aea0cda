#include "RaisedError.h"

RaisedError::RaisedError(qint32 number, const QString &source, const QString &description)
    : std::runtime_error(description.toStdString())
    , Number(number)
    , Source(source)
    , Description(description)
{ }
