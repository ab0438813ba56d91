#include "member_walk.h"

#include <fnmatch.h>

#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#include "hex_text.h"
#include "update/unbundle_common.h"

namespace mkbundle {

namespace {

struct member_walk {
    bundle::family family = bundle::family::selda;
    qm::new_member_handler check = nullptr;
    // The check pass's data handler for the member being read, if any.
    qm::member_data_handler check_data = nullptr;
    std::vector<listed_member>* members = nullptr;
    mbedtls_md5_context md5;
    mbedtls_sha256_context sha256;

    member_walk() {
        mbedtls_md5_init(&md5);
        mbedtls_sha256_init(&sha256);
    }
    ~member_walk() {
        mbedtls_md5_free(&md5);
        mbedtls_sha256_free(&sha256);
    }
    member_walk(const member_walk&) = delete;
    member_walk& operator=(const member_walk&) = delete;
};

// The parser hands its callbacks only the pass state; the tool walks one
// bundle at a time, so the walk's own record lives here.
member_walk* current = nullptr;

void finish_member(member_walk& w) {
    uint8_t md5[16];
    uint8_t sha256[32];
    mbedtls_md5_finish_ret(&w.md5, md5);
    mbedtls_sha256_finish_ret(&w.sha256, sha256);
    w.members->back().md5 = hex_text(md5, sizeof md5);
    w.members->back().sha256 = hex_text(sha256, sizeof sha256);
}

int record_data(void* opaque, qm::untar_stream* stream, qm::tar_header* header, uint64_t offset,
                uint32_t length, const uint8_t* bytes) {
    member_walk& w = *current;
    mbedtls_md5_update_ret(&w.md5, bytes, length);
    mbedtls_sha256_update_ret(&w.sha256, bytes, length);
    if (qm::member_complete(header, offset, length)) finish_member(w);
    if (w.check_data == nullptr) return 1;
    const int result = w.check_data(opaque, stream, header, offset, length, bytes);
    // A check handler that hands the member to another handler is followed.
    if (qm::untar_file_data(stream) != record_data) {
        w.check_data = qm::untar_file_data(stream);
        qm::untar_set_file_data(stream, record_data);
    }
    return result;
}

int record_new(void* opaque, qm::untar_stream* stream, qm::tar_header* header) {
    member_walk& w = *current;
    w.members->push_back({header->name, header->size, member_type(w.family, header->name), {}, {}});
    mbedtls_md5_starts_ret(&w.md5);
    mbedtls_sha256_starts_ret(&w.sha256, 0);
    int result = 1;
    w.check_data = nullptr;
    if (w.check != nullptr) {
        qm::untar_set_file_data(stream, qm::ignore_file_data);
        result = w.check(opaque, stream, header);
        w.check_data = qm::untar_file_data(stream);
    }
    qm::untar_set_file_data(stream, record_data);
    if (header->size == 0) finish_member(w);
    return result;
}

}  // namespace

std::string member_type(bundle::family family, const char* name) {
    const auto& rules = bundle::family_rules(family);
    if (fnmatch("*.sig", name, 0) == 0) {
        const int type = qm::member_rule_find(rules.signatures, name).image_type;
        return type == qm::image_none ? "ignored signature"
                                      : std::string("signature of ") + qm::bundle_info_name(type);
    }
    const qm::member_rule& rule = qm::member_rule_find(rules.images, name);
    if (rule.image_type != qm::image_none) return qm::bundle_info_name(rule.image_type);
    return rule.data == qm::updatedat_file_data ? "text" : "other";
}

int walk_members(const char* path, int file, bundle::family family, qm::new_member_handler check,
                 qm::image_check (&checks)[qm::image_type_count], std::vector<listed_member>& members) {
    member_walk walk;
    walk.family = family;
    walk.check = check;
    walk.members = &members;
    current = &walk;
    const int ok = qm::do_unbundle(path, file, nullptr, record_new, checks);
    current = nullptr;
    return ok;
}

}  // namespace mkbundle
