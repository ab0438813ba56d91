// A temporary directory for one test, removed with everything in it.
#pragma once

#include <string>

namespace test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole-file helpers for fixtures.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

}  // namespace test
