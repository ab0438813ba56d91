// The JSON documents of `mkbundle list --json` and `verify --json` (their
// schema is in docs/mkbundle.md), and the standard output they go to while
// the device's transcript goes to the standard error stream.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device_keys.h"
#include "member_walk.h"
#include "update/signing.h"

namespace mkbundle {

// A JSON string of the bytes. Valid UTF-8 passes unchanged, each byte of an
// invalid sequence becomes U+FFFD; quotes, backslashes and control
// characters are escaped.
std::string json_string(std::string_view bytes);

// What both commands report about a bundle.
struct bundle_report {
    std::string command;  // "list" or "verify"
    std::string bundle;   // the path as given
    std::string family;
    bool complete = false;  // the whole bundle was read without error
    std::vector<listed_member> members;
};

// The verdict `verify` made, when the check pass let it make one.
struct verdict_report {
    const device_keys* keys = nullptr;
    bool made = false;
    const qm::image_check* checks = nullptr;  // image_type_count records
    int signed_by[qm::image_type_count] = {};
    bool authorised = false;
};

std::string list_json(const bundle_report& report);
std::string verify_json(const bundle_report& report, const verdict_report& verdict);

// While it lives, everything written to the standard output goes to the
// standard error stream instead; write() puts a document on the real
// standard output.
class json_output {
public:
    json_output();
    ~json_output();
    json_output(const json_output&) = delete;
    json_output& operator=(const json_output&) = delete;

    bool write(const std::string& document);

private:
    int saved_ = -1;
};

}  // namespace mkbundle
