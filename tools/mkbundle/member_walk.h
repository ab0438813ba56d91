// One walk over a bundle that records every member, what a family's rules
// make of it and its digests; the device's check pass can run in the same
// walk, so `verify --json` reads the bundle once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_writer.h"
#include "update/signing.h"

namespace mkbundle {

struct listed_member {
    std::string name;
    uint64_t size = 0;
    std::string type;    // as member_type names it
    std::string sha256;  // lower-case hexadecimal; empty until the member was read to its end
    std::string md5;
};

// What the family's rules make of a member name: an image type ("UImage"),
// "signature of TYPE", "ignored signature", "text" or "other".
std::string member_type(bundle::family family, const char* name);

// Walks the bundle open as file (at its first byte) with the device's
// pipeline and appends every member to members. check (may be null) is the
// new-member handler of a check pass run in the same walk: its handlers see
// every member and byte as they would alone and fill checks. Returns
// do_unbundle's result; messages go where the pipeline sends them.
int walk_members(const char* path, int file, bundle::family family, qm::new_member_handler check,
                 qm::image_check (&checks)[qm::image_type_count], std::vector<listed_member>& members);

}  // namespace mkbundle
