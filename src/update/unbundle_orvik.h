// The unbundler of the NOR-boot family: its member rules by name.
#pragma once

#include <cstdint>

#include "update/signing.h"
#include "update/unbundle_common.h"

namespace qm::orvik {

// Check pass rules: signature members, then every other member.
extern const member_rule check_signature_rules[5];
extern const member_rule check_image_rules[6];
// Bytes the destination of an image type holds on this family.
uint64_t image_room(int image_type, const update_config* config);
inline constexpr check_rules check_pass_rules{check_signature_rules, check_image_rules, image_room};

// New-member handler of the check pass.
int check_new_file(void* opaque, untar_stream* stream, tar_header* header);

}  // namespace qm::orvik
