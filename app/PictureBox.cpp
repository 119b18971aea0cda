#include "PictureBox.h"

namespace {
constexpr int PictureSize = 32;
}

PictureBox::PictureBox(QWidget *parent)
    : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
}

void PictureBox::setPicture(const QIcon &picture)
{
    m_picture = picture;
    if (m_picture.isNull())
        clear();
    else
        setPixmap(m_picture.pixmap(PictureSize, PictureSize));
    emit pictureChanged();
}
