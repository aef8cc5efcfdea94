// zelstat: descriptive statistics of a database field on the command line.
//
// This program computes and prints without Qt's GUI, so that it starts fast and needs no
// display. The commands that show or draw windows (gui, report, describe --png) are run by its
// window part, zelstat-windows, which it replaces itself with.
#include "app/Commands.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

// The window part: beside this program in the build tree, in libexec/zelstat when installed.
std::filesystem::path WindowPart()
{
    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    if (error)
        throw std::runtime_error("cannot find where zelstat runs from: " + error.message());
    const std::filesystem::path candidates[] = {
        folder / "zelstat-windows", folder / "../libexec/zelstat/zelstat-windows"};
    for (const auto& path : candidates) {
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    throw std::runtime_error("the window part of zelstat was not found: no program "
                             + candidates[0].string() + " or " + candidates[1].string());
}

int RunWindowPart(int, char** argv, const zel::cli::Options&)
{
    const std::filesystem::path program = WindowPart();
    execv(program.c_str(), argv);
    throw std::runtime_error("cannot run " + program.string() + ": " + std::strerror(errno));
}

} // namespace

int main(int argc, char** argv) { return zel::cli::RunZelstat(argc, argv, RunWindowPart); }
