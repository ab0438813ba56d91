#include "sim/filesystems.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/devices.h"

namespace sim {

namespace {

void put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads the first bytes of a device node; 0 or an error number.
int read_start(Kernel& kernel, const std::string& device, uint8_t* buf, size_t count) {
    for (const auto& node : device_nodes(kernel)) {
        if (node.path != device) continue;
        auto file = node.open(O_RDONLY);
        if (!file) return errno;
        size_t got = 0;
        while (got < count) {
            const ssize_t n = file->read(buf + got, count - got);
            if (n <= 0) return EIO;
            got += static_cast<size_t>(n);
        }
        return 0;
    }
    return ENOENT;
}

}  // namespace

std::array<uint8_t, 512> fat32_boot_sector(uint64_t total_sectors, uint32_t hidden_sectors, const std::string& label,
                                           unsigned heads, unsigned sectors_per_track) {
    constexpr uint32_t reserved = 32;
    constexpr uint32_t per_cluster = 8;
    const auto total = static_cast<uint32_t>(std::min<uint64_t>(total_sectors, 0xFFFFFFFFu));
    const uint32_t clusters = total > reserved ? (total - reserved) / per_cluster : 0;
    const uint32_t fat_sectors = ((clusters + 2) * 4 + 511) / 512;

    std::array<uint8_t, 512> s{};
    const uint8_t jump[] = {0xEB, 0x58, 0x90};
    std::memcpy(&s[0], jump, sizeof jump);
    std::memcpy(&s[3], "QMSIMFAT", 8);
    put16(&s[11], 512);
    s[13] = per_cluster;
    put16(&s[14], reserved);
    s[16] = 2;     // FATs
    s[21] = 0xF8;  // fixed disk
    put16(&s[24], sectors_per_track);
    put16(&s[26], heads);
    put32(&s[28], hidden_sectors);
    put32(&s[32], total);
    put32(&s[36], fat_sectors);
    put32(&s[44], 2);  // root directory cluster
    put16(&s[48], 1);  // FS information sector
    put16(&s[50], 6);  // backup boot sector
    s[64] = 0x80;
    s[66] = 0x29;
    put32(&s[67], total ^ hidden_sectors ^ 0x51A1F00Du);
    std::memset(&s[71], ' ', 11);
    std::memcpy(&s[71], label.data(), std::min<size_t>(label.size(), 11));
    std::memcpy(&s[82], "FAT32   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<FatArea> fat32_areas(const std::array<uint8_t, 512>& boot) {
    const auto get16 = [&boot](size_t at) { return static_cast<uint32_t>(boot[at] | boot[at + 1] << 8); };
    const auto get32 = [&](size_t at) { return get16(at) | get16(at + 2) << 16; };
    const uint32_t reserved = get16(14);
    const uint32_t fat_sectors = get32(36);
    const uint32_t per_cluster = boot[13];

    std::vector<uint8_t> info(512, 0);
    put32(&info[0], 0x41615252);
    put32(&info[484], 0x61417272);
    put32(&info[488], 0xFFFFFFFF);  // free clusters: unknown
    put32(&info[492], 3);           // the next free cluster, after the root directory
    put32(&info[508], 0xAA550000);

    // The start of each FAT, all of it on the stores the tests make: a
    // whole FAT of a disk of terabytes would be gigabytes of zeros.
    std::vector<uint8_t> fat(std::min<size_t>(size_t {fat_sectors} * 512, 1 << 20), 0);
    put32(&fat[0], 0x0FFFFF00 | boot[21]);
    put32(&fat[4], 0x0FFFFFFF);
    put32(&fat[8], 0x0FFFFFFF);  // the root directory: one cluster

    std::vector<uint8_t> root(static_cast<size_t>(per_cluster) * 512, 0);
    std::memcpy(&root[0], &boot[71], 11);
    root[11] = 0x08;  // volume label

    return {{1, info},
            {6, std::vector<uint8_t>(boot.begin(), boot.end())},
            {7, info},
            {reserved, fat},
            {reserved + fat_sectors, fat},
            {reserved + 2ULL * fat_sectors, root}};
}

bool is_fat_boot_sector(const uint8_t* sector) {
    const bool signed_sector = sector[510] == 0x55 && sector[511] == 0xAA;
    const bool sector_size = sector[11] == 0x00 && sector[12] == 0x02;
    const bool named = std::memcmp(sector + 82, "FAT32", 5) == 0 || std::memcmp(sector + 54, "FAT1", 4) == 0;
    return signed_sector && sector_size && named;
}

std::string fat32_label(const uint8_t* sector) {
    std::string label(reinterpret_cast<const char*>(sector + 71), 11);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return label;
}

int probe_fat(Kernel& kernel, const std::string& device) {
    uint8_t sector[512];
    if (const int error = read_start(kernel, device, sector, sizeof sector)) return error;
    return is_fat_boot_sector(sector) ? 0 : EINVAL;
}

int probe_ext(Kernel& kernel, const std::string& device) {
    // The superblock begins at byte 1024; its magic 0xEF53 sits at 56.
    uint8_t start[2048];
    if (const int error = read_start(kernel, device, start, sizeof start)) return error;
    return start[1024 + 56] == 0x53 && start[1024 + 57] == 0xEF ? 0 : EINVAL;
}

}  // namespace sim
