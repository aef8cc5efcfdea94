// Pictures written to files whole or not at all.
#pragma once

class QImage;
class QString;

namespace zel {

// Writes the image as a PNG file at `path`. The picture goes to a temporary file in the same
// folder first, which is then renamed into place: a failure (a full disk, a folder that cannot
// be written) leaves no half-written file behind and throws std::runtime_error naming the
// path, and a symbolic link at the path is replaced, never written through.
void SavePngFile(const QImage& image, const QString& path);

} // namespace zel
