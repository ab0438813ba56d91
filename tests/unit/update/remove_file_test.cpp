#include "update/remove_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "support/console_kernel.h"

namespace {

// A user store whose files cannot be removed (a FAT in a bad state) but can
// be renamed; its files are names and contents.
class StubbornStore final : public test::ConsoleKernel {
public:
    std::map<std::string, std::string> files;

    int access(const char* path, int) override {
        if (files.count(path) != 0) return 0;
        errno = ENOENT;
        return -1;
    }
    int remove(const char*) override { return refuse(); }
    int unlink(const char*) override { return refuse(); }
    int rename(const char* from, const char* to) override {
        auto found = files.find(from);
        if (found == files.end()) return refuse();
        files[to] = found->second;  // replaces, as rename does
        files.erase(from);
        return 0;
    }

private:
    static int refuse() {
        errno = EPERM;
        return -1;
    }
};

// A bundle that cannot be removed is renamed out of the way; a file of the
// owner's already under that name stays as it was.
TEST(RemoveFile, RenamesAStubbornBundleWithoutReplacingTheOwnersFiles) {
    StubbornStore store;
    store.files = {{"/mnt-us/update.bin", "bundle"}, {"/mnt-us/update.bin.failed", "the owner's notes"}};
    EXPECT_EQ(qm::remove_file("/mnt-us/update.bin"), 1);
    EXPECT_EQ(store.files.count("/mnt-us/update.bin"), 0u);
    EXPECT_EQ(store.files["/mnt-us/update.bin.failed"], "the owner's notes");
    EXPECT_EQ(store.files["/mnt-us/update.bin.failed2"], "bundle");
    EXPECT_NE(store.console().find("ERROR:file /mnt-us/update.bin was still not deleted, renaming!\n"),
              std::string::npos);
}

}  // namespace
