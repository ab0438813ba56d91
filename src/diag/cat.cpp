#include "diag/cat.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/line_reader.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {
char line[4096];
}

int cat(const char* path, int banner) {
    if (path == nullptr) return 0;
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    if (banner) out("[%s]\n", path);
    sys::LineReader reader(fd.get());
    while (reader.getline(line, sizeof line)) write_all(1, std::string_view(line, std::strlen(line)));
    if (banner) out("<EOF>\n");
    return 1;
}

}  // namespace qm
