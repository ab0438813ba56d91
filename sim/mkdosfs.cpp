#include "sim/mkdosfs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include "sim/filesystems.h"
#include "sim/kernel.h"

namespace sim {

namespace {

int exit_status(int code) { return (code & 0xff) << 8; }

void say(Kernel& kernel, int stream, const std::string& text) { kernel.console().write(stream, text.data(), text.size()); }

int failure(Kernel& kernel, const std::string& text) {
    say(kernel, 2, "mkdosfs: " + text + "\n");
    return exit_status(1);
}

struct Request {
    std::string device;
    std::string label = "NO NAME";
    bool verbose = false;
};

bool parse(const std::string& command, Request& request, std::string& problem) {
    std::istringstream words(command);
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    std::vector<std::string> positional;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-v") {
            request.verbose = true;
        } else if (arg == "-F" || arg == "-n") {
            if (i + 1 >= args.size()) {
                problem = "option " + arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "-n") request.label = value;
            else if (value != "32") {
                problem = "only FAT32 is simulated (-F " + value + ")";
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            problem = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        problem = "usage: mkdosfs [-v] [-F 32] [-n LABEL] DEVICE [BLOCKS]";
        return false;
    }
    request.device = positional[0];
    return true;
}

off_t device_bytes(Kernel& kernel, int fd) {
    uint64_t bytes = 0;
    if (kernel.ioctl(fd, BLKGETSIZE64, &bytes) == 0) return static_cast<off_t>(bytes);
    struct stat status {};
    return kernel.fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : 0;
}

bool write_sectors(Kernel& kernel, int fd, uint64_t sector, const uint8_t* bytes, size_t count) {
    const auto at = static_cast<off_t>(sector * 512);
    return kernel.lseek(fd, at, SEEK_SET) == at && kernel.write(fd, bytes, count) == static_cast<ssize_t>(count);
}

void empty_directory(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

}  // namespace

int run_mkdosfs(Kernel& kernel, const std::string& command) {
    Request request;
    std::string problem;
    if (!parse(command, request, problem)) return failure(kernel, problem);
    const std::string& device = request.device;
    if (kernel.mounts().any_source([&](const std::string& source) { return source == device; }))
        return failure(kernel, device + " contains a mounted filesystem.");

    const int fd = kernel.open(device.c_str(), O_RDWR, 0);
    if (fd < 0) return failure(kernel, "unable to open " + device + ": " + std::strerror(errno));
    const off_t bytes = device_bytes(kernel, fd);
    hd_geometry geometry{};
    if (kernel.ioctl(fd, HDIO_GETGEO, &geometry) != 0) geometry = {64, 32, 0, 0};
    if (bytes < 512 * 64) {
        kernel.close(fd);
        return failure(kernel, device + ": too small to hold a file system");
    }
    const uint64_t sectors = static_cast<uint64_t>(bytes) / 512;
    const auto sector = fat32_boot_sector(sectors, static_cast<uint32_t>(geometry.start), request.label,
                                          geometry.heads, geometry.sectors);
    bool written = write_sectors(kernel, fd, 0, sector.data(), sector.size());
    for (const FatArea& area : fat32_areas(sector))
        written = written && write_sectors(kernel, fd, area.sector, area.bytes.data(), area.bytes.size());
    const std::string error = written ? "" : std::strerror(errno);
    kernel.fsync(fd);
    kernel.close(fd);
    if (!written) return failure(kernel, "failed whilst writing boot sector: " + error);

    const std::string dir = file_system_dir(kernel, "vfat", device);
    if (!dir.empty()) empty_directory(kernel.device().host_path(dir));
    const std::string backing = kernel.storage().loops.underlying(device);
    const std::string where = backing == device ? device
                                                : device + " (" + backing + " + " +
                                                      std::to_string(kernel.storage().loops.offset_of(device)) + ")";
    kernel.klog().log("mkdosfs: " + where + " formatted FAT32, " + std::to_string(sectors) + " sectors, label \"" +
                      request.label + "\"" + (dir.empty() ? "" : ", files in " + dir + "/"));
    if (request.verbose)
        say(kernel, 1, "mkdosfs: " + device + ": FAT32, " + std::to_string(sectors) + " sectors of 512 bytes, " +
                           "volume label \"" + request.label + "\"\n");
    return exit_status(0);
}

}  // namespace sim
