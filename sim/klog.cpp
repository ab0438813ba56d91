#include "sim/klog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

void KernelLog::log(const std::string& message) {
    char stamp[32];
    const Micros now = clock_.now();
    std::snprintf(stamp, sizeof stamp, "<6>[%5lld.%06lld] ", static_cast<long long>(now / one_second),
                  static_cast<long long>(now % one_second));
    text_ += stamp + message + "\n";
    if (text_.size() > capacity) text_.erase(0, text_.size() - capacity);
}

int KernelLog::klogctl(int type, char* buf, int length) {
    switch (type) {
        case 3: {
            if (buf == nullptr || length < 0) {
                errno = EINVAL;
                return -1;
            }
            const size_t n = std::min(text_.size(), static_cast<size_t>(length));
            std::memcpy(buf, text_.data() + text_.size() - n, n);
            return static_cast<int>(n);
        }
        case 4:
        case 5: text_.clear(); return 0;
        case 10: return static_cast<int>(capacity);
        default: errno = EINVAL; return -1;
    }
}

}  // namespace sim
