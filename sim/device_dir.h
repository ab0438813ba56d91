// A simulated device is a directory; its state survives between runs.
//
//   device.conf          settings of the simulation (key=value lines)
//   mmc0.img             the internal MMC (sparse), mmc1.img a second card
//   mtdN.img             NOR flash partition N (NOR-boot family)
//   userstore/, card/, rootfs/  files of the mounted file systems
//   proc/, sys/          kernel files, visible once /proc and /sys are mounted
//   lib/modules/*.ko     driver modules the kernel accepts
//   bin/kinit            the normal boot program; without it exec fails
//   anything else        the initial RAM file system's own files
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace sim {

struct InitOptions {
    // "mmc" (MMC-boot), "nor" (NOR-boot, with NOR flash partitions), or
    // empty: the family of the board.
    std::string family;
    // Empty: the family's default board (P1A0230000000000 on the MMC-boot
    // family, F1A0230000000000 on the NOR-boot family; neither a
    // development board).
    std::string board_id;
    std::string serial = "B0A1C2D3E4F50001";
    uint64_t mmc_size = 1ULL << 30;
    unsigned mmc_heads = 4;
    unsigned mmc_sectors = 16;
    std::string panel = "600x800";  // e-ink panel width x height (4 bits per pixel)
    bool record_screens = true;     // the panel writes screens/NNN.png
    unsigned battery = 80;                   // gauge charge in percent
    std::string input_events = "0,1,2,3";    // units of /dev/input/eventN present
    bool nor_kernel2 = true;  // NOR partition 4, the second kernel copy
    uint64_t card_size = 0;   // a second card with one FAT32 partition; 0: none
};

// Creates a new device directory (dir must not hold one already).
bool init_device(const std::string& dir, const InitOptions& options, std::string& error);

class DeviceDir {
public:
    // Opens an existing device directory.
    bool load(const std::string& dir, std::string& error);

    const std::string& root() const { return root_; }
    std::string host_path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string setting(const std::string& key, const std::string& fallback = "") const;
    long setting_number(const std::string& key, long fallback) const;

private:
    std::string root_;
    std::map<std::string, std::string> settings_;
};

}  // namespace sim
