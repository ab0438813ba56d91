#include "support/install_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "support/host_tools.h"

namespace test {

namespace {

std::string tool(const std::string& name) { return std::string(QM_BIN_DIR) + "/" + name; }

void must(const ToolRun& run, const std::string& what) {
    if (run.status != 0) throw std::runtime_error(what + " failed: " + run.output);
}

}  // namespace

UpdateDevice::UpdateDevice(const std::vector<std::string>& init_extra) {
    std::vector<std::string> extra = {"--mmc-size", "512M"};
    extra.insert(extra.end(), init_extra.begin(), init_extra.end());
    init_device(dir_ / "dev", extra);
    const SimResult first = run_sim({"boot", dir_ / "dev"});
    if (first.last_line() != "SIM: exec /bin/kinit") throw std::runtime_error("first boot: " + first.output);
}

std::string UpdateDevice::random_file(const std::string& name, size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    write_file(work(name), bytes);
    return work(name);
}

std::string UpdateDevice::kernel_image(const std::string& name, size_t size, unsigned seed) {
    const std::string data = random_file(name + ".data", size, seed);
    must(run_tool("mkimage -A arm -O linux -T kernel -C none -a 0x80008000 -e 0x80008000 -n 'test kernel' -d " +
                  data + " " + work(name)),
         "mkimage");
    return work(name);
}

std::string UpdateDevice::bootloader_image(const std::string& name, size_t size, unsigned seed) {
    const std::string data = random_file(name + ".data", size, seed);
    must(run_tool(tool("ckimage") + " --make-bootloader " + data + " " + work(name)), "ckimage");
    return work(name);
}

std::string UpdateDevice::rootfs_image(const std::string& name, std::string* plain) {
    const std::string image = work(name);
    write_file(work("hello.txt"), "hello from the new root file system\n");
    must(run_tool("mke2fs -q -t ext3 -F " + image + " 4M"), "mke2fs");
    must(run_tool("debugfs -w -R 'write " + work("hello.txt") + " hello.txt' " + image), "debugfs");
    must(run_tool("gzip -n -k -f " + image), "gzip");
    if (plain != nullptr) *plain = image;
    return image + ".gz";
}

std::string UpdateDevice::bundle(const std::string& name,
                                 const std::vector<std::pair<std::string, std::string>>& members,
                                 const std::vector<std::string>& extra) {
    std::string command = tool("mkbundle") + " create --out " + work(name);
    for (const auto& arg : extra) command += " " + arg;
    for (const auto& [member, file] : members) command += " " + member + "=" + file;
    must(run_tool(command), "mkbundle create");
    return work(name);
}

std::string UpdateDevice::foreign_bundle(const std::string& name, const std::vector<std::string>& args) {
    const std::string source = QM_SOURCE_DIR;
    std::string command = "python3 " + source + "/tests/support/hostile_bundle.py --out " + work(name) + " --key " +
                          source + "/keys/dev-key1-rsa1024.pem";
    for (const auto& arg : args) command += " '" + arg + "'";
    must(run_tool(command), "hostile_bundle.py");
    return work(name);
}

void UpdateDevice::drop(const std::string& file, const std::string& name) {
    write_file(path("userstore/" + name), read_file(file));
}

SimResult UpdateDevice::boot(const std::string& script, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"boot", dir_ / "dev"};
    if (!script.empty()) {
        write_file(work("script"), script);
        args.insert(args.end(), {"--script", work("script")});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return run_sim(args);
}

std::string file_bytes(const std::string& path, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY);
    const ssize_t n = fd >= 0 ? ::pread(fd, bytes.data(), length, static_cast<off_t>(offset)) : -1;
    if (fd >= 0) ::close(fd);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

bool same_outside(const std::string& a, const std::string& b,
                  const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
    const int fa = ::open(a.c_str(), O_RDONLY);
    const int fb = ::open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    std::string ba(1 << 20, '\0'), bb(1 << 20, '\0');
    for (uint64_t at = 0; same;) {
        const ssize_t na = ::pread(fa, ba.data(), ba.size(), static_cast<off_t>(at));
        const ssize_t nb = ::pread(fb, bb.data(), bb.size(), static_cast<off_t>(at));
        if (na != nb) same = false;
        if (na <= 0) break;
        for (ssize_t i = 0; same && i < na; ++i) {
            if (ba[static_cast<size_t>(i)] == bb[static_cast<size_t>(i)]) continue;
            const uint64_t where = at + static_cast<uint64_t>(i);
            same = std::any_of(ranges.begin(), ranges.end(),
                               [&](const auto& r) { return where >= r.first && where < r.first + r.second; });
        }
        at += static_cast<uint64_t>(na);
    }
    if (fa >= 0) ::close(fa);
    if (fb >= 0) ::close(fb);
    return same;
}

}  // namespace test
