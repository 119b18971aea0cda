#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

// The save-file, open-file and colour dialogs. Created for one use; it keeps no state of its own.
class cDialog
{
public:
    // What a file dialog is asked to show, as built from the caller's arguments.
    struct FileRequest {
        bool save = false;
        QString title;
        QString folder;
        QString fileName;
        QStringList nameFilters;
        QString defaultSuffix;
    };

    // The longest file name handed to the save dialog.
    static constexpr int MaxFileName = 512;

    // On success: the full path, and Filename becomes the bare file name. On cancel: empty, and
    // Filename is left as it was.
    QString GetSaveName(QWidget *hwnd, QString &Filename, const QString &InitialDir = {},
        const QString &WindowTitle = {}, const QString &FilterStr = {}, const QString &DefaultExt = {});
    QString GetOpenName(QWidget *hwnd, QString &Filename, std::optional<QString> DefaultDir = {},
        const QString &WindowTitle = {}, const QString &Filters = {}, const QString &DefaultFileName = {});
    // The chosen colour as 0x00BBGGRR, or -1 when cancelled. The 16 custom colours are kept
    // between runs in the per-user settings.
    qint32 PickColor();

    // "Description\0pattern\0..." pairs as Qt name filters ("Description (pattern)").
    static QStringList nameFiltersFrom(const QString &pairs);
    static qint32 toColorRef(const QColor &color);
    static QColor fromColorRef(qint32 value);

    // Test seams: the next dialog of that kind is not shown; the answer stands in for the user.
    // nullopt is a cancel. The answer then goes through the same result handling as a real one.
    using FileAnswer = std::function<std::optional<QString>(const FileRequest &)>;
    using ColorAnswer = std::function<std::optional<QColor>()>;
    static void setNextFileAnswerForTest(FileAnswer answer);
    static void setNextColorAnswerForTest(ColorAnswer answer);

private:
    QString runFileDialog(QWidget *owner, const FileRequest &request, QString &Filename);
};
