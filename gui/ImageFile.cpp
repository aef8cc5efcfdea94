#include "gui/ImageFile.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

namespace {

[[noreturn]] void Fail(const QString& path, int error)
{
    throw std::runtime_error("Cannot write the picture " + path.toStdString() + ": "
                             + std::strerror(error));
}

} // namespace

void SavePngFile(const QImage& image, const QString& path)
{
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            throw std::runtime_error("Cannot encode the picture " + path.toStdString());
    }
    std::string temporary = path.toStdString() + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        Fail(path, errno);
    // Every write, the flush to the disk and the close are checked: a full disk shows at any
    // of them.
    const char* data = png.constData();
    std::size_t left = static_cast<std::size_t>(png.size());
    int error = 0;
    while (left > 0 && error == 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno != EINTR)
            error = errno;
        else if (written > 0) {
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    // mkstemp makes the file readable by its owner alone; a picture is for anyone to read.
    if (error == 0 && chmod(temporary.c_str(), 0644) != 0)
        error = errno;
    // rename replaces a symbolic link at the path, not what it points to.
    if (error == 0 && std::rename(temporary.c_str(), path.toStdString().c_str()) != 0)
        error = errno;
    if (error != 0) {
        std::remove(temporary.c_str());
        Fail(path, error);
    }
}

} // namespace zel
