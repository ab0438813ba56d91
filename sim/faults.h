// Faults injected into the simulated device on purpose, given as
// "kind:argument..." texts (on the command line or in a script):
//
//   eio:PATH[:N[-M]]   the Nth write to PATH (the Nth to Mth) fails with EIO
//                      (every write without N)
//   eio-read:PATH[:N[-M]] the same for reads
//   eio-seek:PATH[:N[-M]] the same for seeks
//   eio-fsync:PATH[:N[-M]] the same for fsync requests
//   short:PATH:N       the Nth write to PATH stores only half of its bytes
//   short-read:PATH:N  every read of PATH delivers at most N bytes
//   vanish:PATH        PATH disappears: opens fail, open descriptors fail with EIO
//   hang:PATH          opening PATH, or a request to it, never completes; only a
//                      signal ends it (EINTR when the program's handler returns)
//   powercut:N         the power fails right after the Nth write to any device or file
//   swap:PATH:HOSTFILE when the program reads PATH again from its start, the
//                      file holds what HOSTFILE holds (a medium changed under it)
//   reboot-fails:N     the first N reboot and power-off requests fail
//   select-fails:N     the next N select requests fail with ENOMEM
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace sim {

struct Fault {
    enum class Kind {
        write_error, read_error, seek_error, fsync_error, short_write, short_read, vanish, hang, power_cut, reboot_fails, swap, select_fails
    };
    Kind kind;
    std::string path;
    long nth = 0;  // 0: every time
    long last = 0;  // eio, eio-read, eio-seek, eio-fsync: the last of a run of failures from nth on; 0: nth alone
    std::string replacement = {};  // swap: host file whose bytes replace the file's
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
    bool seek_fails(const std::string& path);
    bool fsync_fails(const std::string& path);
    // The most bytes one read of path may deliver.
    size_t read_limit(const std::string& path, size_t count) const;
    bool vanished(const std::string& path) const { return has(Fault::Kind::vanish, path); }
    bool hangs(const std::string& path) const { return has(Fault::Kind::hang, path); }
    bool reboot_fails();
    bool select_fails();
    // The host file whose bytes path takes now that it is read again from
    // its start; empty when nothing is to change. Each swap happens once.
    std::string take_swap(const std::string& path);

private:
    bool has(Fault::Kind kind, const std::string& path) const;
    // Counts a request of the kind's sort on path; true when it is to fail.
    bool counted_request_fails(Fault::Kind kind, std::map<std::string, long>& counts, const std::string& path);

    std::vector<Fault> faults_;
    std::map<std::string, long> writes_by_path_;
    std::map<std::string, long> reads_by_path_;
    std::map<std::string, long> seeks_by_path_;
    std::map<std::string, long> fsyncs_by_path_;
    long writes_ = 0;
    long reboots_refused_ = 0;
    long selects_refused_ = 0;
};

}  // namespace sim
