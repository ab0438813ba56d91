#include "sim/dev/mmc.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "sim/dev/block.h"
#include "sim/kernel.h"

namespace sim {

namespace {

constexpr unsigned mmc_major = 179;
constexpr unsigned cards = 2;

std::string disk_name(unsigned card) { return "mmcblk" + std::to_string(card); }
std::string image_of(Kernel& kernel, unsigned card) {
    return kernel.device().host_path("mmc" + std::to_string(card) + ".img");
}

uint32_t le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The whole card: a block window that also answers BLKRRPART.
class MmcDisk final : public BlockWindow {
public:
    MmcDisk(Kernel& kernel, unsigned card, int fd, off_t size, Geometry geometry, dev_t rdev)
        : BlockWindow(fd, 0, size, geometry, rdev), kernel_(kernel), card_(card) {}

    static std::unique_ptr<OpenFile> open(Kernel& kernel, unsigned card, int flags, off_t size, Geometry geometry,
                                          dev_t rdev) {
        const int fd = open_image(image_of(kernel, card), flags);
        if (fd < 0) return nullptr;
        return std::make_unique<MmcDisk>(kernel, card, fd, size, geometry, rdev);
    }

    int ioctl(unsigned long request, void* arg) override {
        if (request == BLKRRPART) return kernel_.storage().partitions.reread(kernel_, card_);
        return BlockWindow::ioctl(request, arg);
    }

private:
    Kernel& kernel_;
    unsigned card_;
};

// A partition asked to re-read a table answers as Linux does.
class MmcPartition final : public BlockWindow {
public:
    static std::unique_ptr<OpenFile> open(const std::string& image, int flags, const PartitionWindow& window,
                                          Geometry geometry, dev_t rdev) {
        const int fd = open_image(image, flags);
        if (fd < 0) return nullptr;
        return std::unique_ptr<OpenFile>(new MmcPartition(fd, window.offset, window.length, geometry, rdev));
    }
    int ioctl(unsigned long request, void* arg) override {
        if (request == BLKRRPART) {
            errno = EINVAL;
            return -1;
        }
        return BlockWindow::ioctl(request, arg);
    }

private:
    MmcPartition(int fd, off_t offset, off_t length, Geometry geometry, dev_t rdev)
        : BlockWindow(fd, offset, length, geometry, rdev) {}
};

}  // namespace

std::vector<PartitionWindow> read_msdos_table(const uint8_t* sector, off_t disk_size) {
    std::vector<PartitionWindow> windows;
    if (sector[510] != 0x55 || sector[511] != 0xAA) return windows;
    for (unsigned slot = 0; slot < 4; ++slot)
        if (sector[446 + 16 * slot] != 0x00 && sector[446 + 16 * slot] != 0x80) return windows;
    for (unsigned slot = 0; slot < 4; ++slot) {
        const uint8_t* entry = sector + 446 + 16 * slot;
        const off_t start = static_cast<off_t>(le32(entry + 8)) * 512;
        off_t length = static_cast<off_t>(le32(entry + 12)) * 512;
        if (length == 0 || start >= disk_size) continue;
        if (start + length > disk_size) length = disk_size - start;
        windows.push_back({slot + 1, start, length});
    }
    return windows;
}

const std::vector<PartitionWindow>& PartitionTables::of(Kernel& kernel, unsigned card) {
    if (tables_.count(card) == 0) read(kernel, card);
    return tables_[card];
}

void PartitionTables::read(Kernel& kernel, unsigned card) {
    std::vector<PartitionWindow>& table = tables_[card];
    table.clear();
    const int fd = ::open(image_of(kernel, card).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    uint8_t sector[512] = {};
    struct stat status {};
    const bool got = ::pread(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector) &&
                     ::fstat(fd, &status) == 0;
    ::close(fd);
    if (!got) return;
    table = read_msdos_table(sector, status.st_size);
    std::string line = " " + disk_name(card) + ":";
    for (const auto& window : table) line += " p" + std::to_string(window.number);
    kernel.klog().log(table.empty() ? line + " unknown partition table" : line);
}

unsigned long PartitionTables::reread_requests(unsigned card) const {
    const auto found = requests_.find(card);
    return found == requests_.end() ? 0 : found->second;
}

int PartitionTables::reread(Kernel& kernel, unsigned card) {
    ++requests_[card];
    if (kernel.console().undrained()) ++rereads_before_drain_;
    const std::string prefix = "/dev/" + disk_name(card) + "p";
    const auto is_partition = [&](const std::string& path) { return path.compare(0, prefix.size(), prefix) == 0; };
    if (kernel.any_open_file(is_partition) || kernel.storage().loops.any_backing(is_partition) ||
        kernel.mounts().any_source(is_partition)) {
        errno = EBUSY;
        return -1;
    }
    read(kernel, card);
    return 0;
}

void add_mmc_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    const Geometry geometry{static_cast<unsigned>(kernel.device().setting_number("mmc_heads", 4)),
                            static_cast<unsigned>(kernel.device().setting_number("mmc_sectors", 16))};
    for (unsigned card = 0; card < cards; ++card) {
        const std::string image = image_of(kernel, card);
        struct stat status {};
        if (::stat(image.c_str(), &status) != 0) continue;
        const dev_t rdev = makedev(mmc_major, card * 8);
        const off_t size = status.st_size;
        nodes.push_back({"/dev/" + disk_name(card), S_IFBLK, rdev,
                         [&kernel, card, size, geometry, rdev](int flags) {
                             return MmcDisk::open(kernel, card, flags, size, geometry, rdev);
                         }});
        for (const PartitionWindow& window : kernel.storage().partitions.of(kernel, card)) {
            const dev_t part_rdev = makedev(mmc_major, card * 8 + window.number);
            nodes.push_back({"/dev/" + disk_name(card) + "p" + std::to_string(window.number), S_IFBLK, part_rdev,
                             [image, window, geometry, part_rdev](int flags) {
                                 return MmcPartition::open(image, flags, window, geometry, part_rdev);
                             }});
        }
    }
}

}  // namespace sim
