// `mkbundle list` on arbitrary files, on the host's own kernel as the tool
// runs; the bytes go through a temporary file.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "support/testdir.h"
#include "sys/kernel.h"
#include "sys/linux_kernel.h"

namespace {

const std::string& bundle_path() {
    static sys::LinuxKernel kernel;
    static test::TempDir dir;
    static const std::string path = [] {
        sys::install(kernel);
        return dir / "fuzz.bin";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = bundle_path();
    test::write_file(path, std::string(reinterpret_cast<const char*>(data), size));
    mkbundle::list({path});
    mkbundle::list({"--family", "orvik", path});
    mkbundle::list({"--json", path});  // member names of any bytes through the JSON writer
    return 0;
}
