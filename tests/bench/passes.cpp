#include "passes.h"

#include <fcntl.h>
#include <unistd.h>

#include "update/install_common.h"
#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/unbundle_selda.h"

namespace bench {

bool check_pass(const std::string& bundle) {
    const int fd = ::open(bundle.c_str(), O_RDONLY);
    qm::progress_base = 0;
    qm::image_check checks[qm::image_type_count] = {};
    qm::update_config config{};
    const int ok = qm::authorise_bundle(bundle.c_str(), fd, &config, qm::selda::check_new_file, checks);
    if (fd >= 0) ::close(fd);
    return ok != 0;
}

bool unbundle(const std::string& bundle, const std::string& dest) {
    // Only the root file system is in the benchmark bundles; the other
    // destinations take nothing.
    qm::update_config config{};
    config.kernel_dev = "/dev/null";
    config.rootfs_dev = dest.c_str();
    config.bootloader_dev = "/dev/null";
    int result = -1;
    return qm::unbundle_selda(bundle.c_str(), &config, &result) != 0;
}

}  // namespace bench
