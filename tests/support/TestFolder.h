#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh program folder for one test: AppFolder points at it and its "requests" folder exists.
// The previous AppFolder comes back when the test ends.
class TestFolder
{
public:
    TestFolder();
    ~TestFolder();

    QString path() const;
    // AppFolder + "requests" + separator.
    QString requests() const;
    // Names of the files in the requests folder, sorted.
    QStringList requestFiles() const;

private:
    QTemporaryDir m_dir;
    QString m_previousAppFolder;
};
