#include "zelstats/gui/ImageFile.h"

#include "zelstats/tools/FileOutput.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QString>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

namespace {

// The PNG bytes of the image; an image that could not be drawn is refused by name.
QByteArray EncodePng(const QImage& image, const std::string& name)
{
    if (image.isNull())
        throw std::runtime_error("Cannot draw the picture " + name
                                 + ": there is not enough memory for it");
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        throw std::runtime_error("Cannot encode the picture " + name);
    return png;
}

std::string_view Bytes(const QByteArray& bytes)
{
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

} // namespace

void CheckPictureTarget(const std::string& path) { CheckFileTarget(path, "picture"); }

void CheckPictureFolder(const std::string& folder, std::initializer_list<const char*> names)
{
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT)
            throw std::runtime_error("Cannot use the folder " + folder + ": "
                                     + std::strerror(errno));
        return; // made new, it holds no picture yet
    }
    if (!S_ISDIR(info.st_mode))
        throw std::runtime_error("Cannot use the folder " + folder + ": it is not a folder");
    for (const char* name : names)
        CheckPictureTarget(folder + "/" + name);
}

void SavePngFile(const QImage& image, const QString& path)
{
    const std::string target = path.toStdString();
    CheckPictureTarget(target);
    WriteFileWhole(target, Bytes(EncodePng(image, target)), "picture");
}

void WritePngToStandardOutput(const QImage& image)
{
    if (const int error = WriteAll(STDOUT_FILENO, Bytes(EncodePng(image, "on standard output"))))
        throw std::runtime_error(std::string("cannot write to standard output: ")
                                 + std::strerror(error));
}

} // namespace zel
