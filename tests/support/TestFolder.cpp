#include "TestFolder.h"

#include <QDir>

TestFolder::TestFolder()
    : m_previousAppFolder(AppFolder)
{
    AppFolder = QDir::toNativeSeparators(m_dir.path()) + QDir::separator();
    QDir(m_dir.path()).mkdir(QStringLiteral("requests"));
}

QStringList TestFolder::requestFiles() const
{
    return QDir(requests()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}
