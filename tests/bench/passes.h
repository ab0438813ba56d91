// The two bundle passes as the benchmarks run them, with the device
// program's own code on whatever kernel is installed: the check pass and
// verdict of the MMC-boot family, and the whole unbundling (check pass, then
// install pass writing the root file system to dest, which must exist).
#pragma once

#include <string>

namespace bench {

bool check_pass(const std::string& bundle);
bool unbundle(const std::string& bundle, const std::string& dest);

}  // namespace bench
