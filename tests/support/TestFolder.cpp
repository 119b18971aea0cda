#include "TestFolder.h"

#include "ProgramValues.h"

#include <QDir>

TestFolder::TestFolder()
    : m_previousAppFolder(AppFolder)
{
    AppFolder = QDir::toNativeSeparators(m_dir.path()) + QDir::separator();
    QDir(m_dir.path()).mkdir(QStringLiteral("requests"));
}

TestFolder::~TestFolder()
{
    AppFolder = m_previousAppFolder;
}

QString TestFolder::path() const
{
    return AppFolder;
}

QString TestFolder::requests() const
{
    return recordFolder();
}

QStringList TestFolder::requestFiles() const
{
    return QDir(requests()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}
