// Files written whole or not at all, and only where a file of results belongs: the pictures of
// the windows and the results of the command line both go through here.
#pragma once

#include <string>
#include <string_view>

namespace zel {

// Throws std::runtime_error "Cannot write the <what> <path>: <why>" unless a file may go
// there: a regular file (through a symbolic link too), or a new name in an existing folder. A
// device, a FIFO, a socket or a folder is never replaced, nor a link to a process's open file
// (/dev/stdout, /dev/fd/1), which names no file. Nothing is changed.
void CheckFileTarget(const std::string& path, const std::string& what);

// Writes `bytes` as the file at `path`, which CheckFileTarget accepts. They go to a temporary
// file in the same folder first, which is then renamed into place: a failure (a full disk, a
// folder that cannot be written) leaves no half-written file and no temporary one behind, the
// file at `path` as it was, and throws std::runtime_error naming the path and the reason. A
// symbolic link at the path is replaced, never written through. The file is readable by all.
void WriteFileWhole(const std::string& path, std::string_view bytes, const std::string& what);

// Writes all of `bytes` to the open file `fd`, again after an interrupted write; returns 0, or
// the errno of the write that failed.
int WriteAll(int fd, std::string_view bytes);

} // namespace zel
