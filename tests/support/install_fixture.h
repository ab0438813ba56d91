// A simulated device that has booted once (its MMC laid out), and the
// images and bundles an update test drops on it, made with the project's
// own tools and with mke2fs, mkimage and gzip.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/simrun.h"
#include "support/testdir.h"

namespace test {

class UpdateDevice {
public:
    explicit UpdateDevice(const std::vector<std::string>& init_extra = {});

    std::string path(const std::string& relative) const { return dir_ / ("dev/" + relative); }
    std::string work(const std::string& name) const { return dir_ / name; }

    // Deterministic bytes of the given size.
    std::string random_file(const std::string& name, size_t size, unsigned seed);
    // A kernel image with a legacy image header (mkimage) around size bytes.
    std::string kernel_image(const std::string& name, size_t size, unsigned seed);
    // A boot loader with a correct descriptor (ckimage --make-bootloader).
    std::string bootloader_image(const std::string& name, size_t size, unsigned seed);
    // A gzip-compressed ext3 image holding hello.txt; the plain image's path
    // goes to *plain when given.
    std::string rootfs_image(const std::string& name, std::string* plain = nullptr);

    // mkbundle create; extra arguments come before the members.
    std::string bundle(const std::string& name, const std::vector<std::pair<std::string, std::string>>& members,
                       const std::vector<std::string>& extra = {});
    // A bundle made without the project's writer (Python's tarfile and gzip,
    // openssl signatures with development key 1): arguments as
    // tests/support/hostile_bundle.py takes them, --out and --key aside.
    std::string foreign_bundle(const std::string& name, const std::vector<std::string>& args);
    // Copies a file into the user store.
    void drop(const std::string& file, const std::string& name);

    SimResult boot(const std::string& script = "", const std::vector<std::string>& extra = {});

private:
    TempDir dir_;
};

// Bytes [offset, offset + length) of a file.
std::string file_bytes(const std::string& path, uint64_t offset, size_t length);

// Whether two files of equal size agree outside the given byte ranges.
bool same_outside(const std::string& a, const std::string& b,
                  const std::vector<std::pair<uint64_t, uint64_t>>& ranges);

}  // namespace test
