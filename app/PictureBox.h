#pragma once

#include <QIcon>
#include <QLabel>

// A label that shows one picture and tells its followers (the tray icon) when it changes.
class PictureBox : public QLabel
{
    Q_OBJECT

public:
    explicit PictureBox(QWidget *parent = nullptr);

    void setPicture(const QIcon &picture);
    QIcon picture() const { return m_picture; }

signals:
    void pictureChanged();

private:
    QIcon m_picture;
};
