// Faults injected into the simulated device on purpose, given as
// "kind:argument..." texts (on the command line or in a script):
//
//   eio:PATH[:N]       the Nth write to PATH fails with EIO (every write without N)
//   eio-read:PATH[:N]  the same for reads
//   short:PATH:N       the Nth write to PATH stores only half of its bytes
//   short-read:PATH:N  every read of PATH delivers at most N bytes
//   vanish:PATH        PATH disappears: opens fail, open descriptors fail with EIO
//   hang:PATH          opening PATH never completes (only the alarm ends it)
//   powercut:N         the power fails right after the Nth write to any device or file
//   reboot-fails:N     the first N reboot and power-off requests fail
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace sim {

struct Fault {
    enum class Kind { write_error, read_error, short_write, short_read, vanish, hang, power_cut, reboot_fails };
    Kind kind;
    std::string path;
    long nth = 0;  // 0: every time
};

// Parses one fault text; nothing (and a reason in error) when it is malformed.
std::optional<Fault> parse_fault(std::string_view text, std::string& error);

class Faults {
public:
    void add(const Fault& fault) { faults_.push_back(fault); }

    // Before a write of count bytes to path: the bytes to let through, or -1
    // with errno set when the write fails.
    ssize_t admit_write(const std::string& path, size_t count);
    // After a write went through: true when the power fails now.
    bool power_cut_due();
    long writes() const { return writes_; }

    bool read_fails(const std::string& path);
    // The most bytes one read of path may deliver.
    size_t read_limit(const std::string& path, size_t count) const;
    bool vanished(const std::string& path) const { return has(Fault::Kind::vanish, path); }
    bool hangs(const std::string& path) const { return has(Fault::Kind::hang, path); }
    bool reboot_fails();

private:
    bool has(Fault::Kind kind, const std::string& path) const;

    std::vector<Fault> faults_;
    std::map<std::string, long> writes_by_path_;
    std::map<std::string, long> reads_by_path_;
    long writes_ = 0;
    long reboots_refused_ = 0;
};

}  // namespace sim
