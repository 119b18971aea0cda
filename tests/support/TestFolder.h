#pragma once

#include "ProgramValues.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh program folder for one test: AppFolder points at it and its "requests" folder exists.
// The previous AppFolder comes back when the test ends.
class TestFolder
{
public:
    TestFolder();
    ~TestFolder() { AppFolder = m_previousAppFolder; }

    QString path() const { return AppFolder; }
    // AppFolder + "requests" + separator.
    QString requests() const { return recordFolder(); }
    // Names of the files in the requests folder, sorted.
    QStringList requestFiles() const;

private:
    QTemporaryDir m_dir;
    QString m_previousAppFolder;
};

// A file's bytes, or "<missing>" when it cannot be read.
QByteArray fileBytes(const QString &path);
// Writes bytes over a file; a failure fails the test.
void writeBytes(const QString &path, const QByteArray &bytes);
