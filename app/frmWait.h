#pragma once

#include <QDialog>

class QLabel;

// The small window shown while the record files are deleted.
class frmWait : public QDialog
{
    Q_OBJECT

public:
    explicit frmWait(QWidget *owner = nullptr);

    QLabel *Label1 = nullptr;
};
