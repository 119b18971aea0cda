#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <zlib.h>
#include <zstd.h>

// Bodies as servers send them, made with the same libraries the program decodes with.

// windowBits as zlib takes them: 31 gzip, 15 zlib, -15 raw deflate.
inline QByteArray deflated(const QByteArray &data, int windowBits = 31)
{
    z_stream stream {};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, data.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

inline QByteArray zstdCompressed(const QByteArray &data)
{
    QByteArray out(qsizetype(ZSTD_compressBound(data.size())), '\0');
    out.resize(qsizetype(ZSTD_compress(out.data(), out.size(), data.constData(), data.size(), 3)));
    return out;
}

// A 3 by 2 red PNG picture.
inline QByteArray redPng()
{
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(Qt::red);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}
