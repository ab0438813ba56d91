// A simulated device is a directory; its state survives between runs.
//
//   device.conf          settings of the simulation (key=value lines)
//   mmc0.img             the internal MMC (sparse), mmc1.img a second card
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
    std::string board_id = "P1A0230000000000";  // MMC-boot family, not a development board
    std::string serial = "B0A1C2D3E4F50001";
    uint64_t mmc_size = 1ULL << 30;
    unsigned mmc_heads = 4;
    unsigned mmc_sectors = 16;
    std::string panel = "600x800";  // e-ink panel width x height (4 bits per pixel)
    unsigned battery = 80;                   // gauge charge in percent
    std::string input_events = "0,1,2,3";    // units of /dev/input/eventN present
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
