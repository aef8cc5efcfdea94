// Pictures written to files whole or not at all, and only where a picture belongs
// (tools/FileOutput.h does the writing).
#pragma once

#include <initializer_list>
#include <string>

class QImage;
class QString;

namespace zel {

// Throws std::runtime_error naming the path unless a picture may go there: a regular file
// (through a symbolic link too), or a new name. A device, a FIFO, a socket or a folder is
// never replaced, nor a link to a process's open file (/dev/stdout, /dev/fd/1), which names
// no file. Nothing is changed.
void CheckPictureTarget(const std::string& path);

// Checks before anything is written that `folder` is a folder, or is new, and that each of
// `names` in it may take a picture (CheckPictureTarget); throws std::runtime_error otherwise.
void CheckPictureFolder(const std::string& folder, std::initializer_list<const char*> names);

// Writes the image as a PNG file at `path`, which CheckPictureTarget accepts. The picture
// goes to a temporary file in the same folder first, which is then renamed into place: a
// failure (a full disk, a folder that cannot be written) leaves no half-written file behind
// and throws std::runtime_error naming the path, and a symbolic link at the path is replaced,
// never written through. An image that could not be drawn (no memory for it) is refused.
void SavePngFile(const QImage& image, const QString& path);

// Writes the image as PNG to standard output; a failed write (a closed pipe, a full disk)
// throws std::runtime_error.
void WritePngToStandardOutput(const QImage& image);

} // namespace zel
