#include "zelstats/tools/FileOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zel {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, const std::string& why)
{
    throw std::runtime_error("Cannot write the " + what + " " + path + ": " + why);
}

// Whether the links from `path` lead into /proc, where a process's open files are links
// (/dev/stdout and /dev/fd/N lead there): a file renamed over such a name would replace the
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

// The file is made in its folder and renamed there, so the folder must be one that can be
// written; checked first, so that a long computation is not lost to it at the end.
void CheckFolderOf(const std::string& path, const std::string& what)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string folder = parent.empty() ? "." : parent.string();
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0)
        Fail(what, path, "its folder " + folder + ": " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        Fail(what, path, folder + " is not a folder");
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        Fail(what, path, "its folder " + folder + " cannot be written: " + std::strerror(errno));
}

} // namespace

int WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR)
            return errno;
        if (written > 0)
            bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

void CheckFileTarget(const std::string& path, const std::string& what)
{
    if (path.empty())
        Fail(what, "''", "the file name is empty");
    if (LeadsIntoProc(path))
        Fail(what, path,
             "it leads to an open file of a process, not to a file (- is standard output)");
    struct stat info {};
    const bool exists = stat(path.c_str(), &info) == 0; // or else a new name
    if (!exists && errno != ENOENT)
        Fail(what, path, std::strerror(errno));
    if (exists && S_ISDIR(info.st_mode))
        Fail(what, path, "it is a folder");
    if (exists && !S_ISREG(info.st_mode))
        Fail(what, path, "it is a device, a pipe or a socket, not a regular file");
    CheckFolderOf(path, what);
}

void WriteFileWhole(const std::string& path, std::string_view bytes, const std::string& what)
{
    CheckFileTarget(path, what);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        Fail(what, path, std::string("cannot make a file in its folder: ") + std::strerror(errno));
    // Every write, the flush to the disk and the close are checked: a full disk shows at any
    // of them.
    int error = WriteAll(fd, bytes);
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    // mkstemp makes the file readable by its owner alone; results are for anyone to read.
    if (error == 0 && chmod(temporary.c_str(), 0644) != 0)
        error = errno;
    // rename replaces a symbolic link at the path, not what it points to. (The target was
    // checked above; one swapped for a device since takes someone who can write the folder.)
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        std::remove(temporary.c_str());
        Fail(what, path, std::strerror(error));
    }
}

} // namespace zel
