#include "gui/ImageFile.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zel {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& why)
{
    throw std::runtime_error("Cannot write the picture " + path + ": " + why);
}

[[noreturn]] void Fail(const std::string& path, int error) { Fail(path, std::strerror(error)); }

// Whether the links from `path` lead into /proc, where a process's open files are links
// (/dev/stdout and /dev/fd/N lead there): a picture renamed over such a name would replace the
// link, not go to the file.
bool LeadsIntoProc(std::filesystem::path path)
{
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(path, error);
        const std::filesystem::path folder =
            std::filesystem::weakly_canonical(absolute.parent_path(), error);
        path = folder / path.filename();
        if (path.string().starts_with("/proc/"))
            return true;
        if (!std::filesystem::is_symlink(path, error))
            return false;
        const std::filesystem::path target = std::filesystem::read_symlink(path, error);
        if (error)
            return false;
        path = target.is_absolute() ? target : folder / target;
    }
    return true; // a loop of links names nothing
}

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

// Writes all the bytes; returns 0, or the error of the write that failed.
int WriteAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno != EINTR)
            return errno;
        if (written > 0) {
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    return 0;
}

} // namespace

void CheckPictureTarget(const std::string& path)
{
    if (LeadsIntoProc(path))
        Fail(path, "it leads to an open file of a process, not to a file (- is standard output)");
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            Fail(path, errno);
        return; // a new name; a missing folder shows when the file is made
    }
    if (S_ISDIR(info.st_mode))
        Fail(path, "it is a folder");
    if (!S_ISREG(info.st_mode))
        Fail(path, "it is a device, a pipe or a socket, not a regular file");
}

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
    const QByteArray png = EncodePng(image, target);
    std::string temporary = target + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        Fail(target, errno);
    // Every write, the flush to the disk and the close are checked: a full disk shows at any
    // of them.
    int error = WriteAll(fd, png);
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    // mkstemp makes the file readable by its owner alone; a picture is for anyone to read.
    if (error == 0 && chmod(temporary.c_str(), 0644) != 0)
        error = errno;
    // rename replaces a symbolic link at the path, not what it points to. (The target was
    // checked above; one swapped for a device since takes someone who can write the folder.)
    if (error == 0 && std::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        std::remove(temporary.c_str());
        Fail(target, error);
    }
}

void WritePngToStandardOutput(const QImage& image)
{
    if (const int error = WriteAll(STDOUT_FILENO, EncodePng(image, "on standard output")))
        throw std::runtime_error(std::string("cannot write to standard output: ")
                                 + std::strerror(error));
}

} // namespace zel
