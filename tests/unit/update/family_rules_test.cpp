// The member rules of both board families, as the check and install passes
// put them together from each family's own rows and the shared ones.

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "support/param_name.h"
#include "update/install_common.h"
#include "update/signing.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

namespace {

enum class family { selda, orvik };
enum class table { signatures, check, install };

std::span<const qm::member_rule> rules_of(family f, table t) {
    const qm::check_rules& check = f == family::selda ? qm::selda::check_pass_rules : qm::orvik::check_pass_rules;
    switch (t) {
        case table::signatures: return check.signatures;
        case table::check: return check.images;
        case table::install:
            return f == family::selda ? qm::selda::install_pass_rules : qm::orvik::install_pass_rules;
    }
    return {};
}

struct NameCase {
    const char* name;
    family fam;
    table tab;
    const char* member;
    int type;         // image type of the deciding row
    unsigned weight;  // its progress weight
    bool catch_all;   // the deciding row is the last one
};

class FamilyRules : public testing::TestWithParam<NameCase> {};

TEST_P(FamilyRules, MemberNameChoosesItsRow) {
    const NameCase& c = GetParam();
    const auto rules = rules_of(c.fam, c.tab);
    const qm::member_rule& row = qm::member_rule_find(rules, c.member);
    EXPECT_EQ(row.image_type, c.type);
    EXPECT_EQ(row.weight, c.weight);
    EXPECT_EQ(&row == &rules.back(), c.catch_all);
}

constexpr int none = qm::image_none;
constexpr int kernel = qm::image_uimage;
constexpr int loader = qm::image_uboot;
constexpr int rootfs = qm::image_rootfs;
constexpr int diags = qm::image_diagsfs;
constexpr family S = family::selda;
constexpr family O = family::orvik;
constexpr table sig = table::signatures;
constexpr table chk = table::check;
constexpr table ins = table::install;

INSTANTIATE_TEST_SUITE_P(
    Names, FamilyRules,
    testing::Values(
        // Check pass, images.
        NameCase{"selda_kernel", S, chk, "imx35_selda/uImage", kernel, 2, false},
        NameCase{"selda_loader", S, chk, "imx35_selda/u-boot.bin", loader, 3, false},
        NameCase{"selda_top_level_kernel_is_no_image", S, chk, "uImage", none, 0, true},
        NameCase{"selda_other_boards_loader_is_no_image", S, chk, "imx31_orvik/u-boot.bin", none, 0, true},
        NameCase{"orvik_kernel_in_folder", O, chk, "imx35_selda/uImage", kernel, 2, false},
        NameCase{"orvik_kernel_at_top", O, chk, "uImage", kernel, 2, false},
        NameCase{"orvik_loader_in_folder", O, chk, "imx31_orvik/u-boot.bin", loader, 3, false},
        NameCase{"orvik_loader_at_top", O, chk, "u-boot.bin", loader, 3, false},
        NameCase{"selda_rootfs", S, chk, "rootfs-2.1.img.gz", rootfs, 20, false},
        NameCase{"orvik_rootfs", O, chk, "rootfs.img.gz", rootfs, 20, false},
        NameCase{"selda_diags", S, chk, "diagsfs-1.img", diags, 0, false},
        NameCase{"orvik_text", O, chk, "update-notes.dat", none, 0, false},
        NameCase{"selda_anything_else", S, chk, "README", none, 0, true},
        // Check pass, signatures.
        NameCase{"selda_kernel_signature", S, sig, "imx35_selda/uImage.sig", kernel, 0, false},
        NameCase{"selda_loader_signature", S, sig, "imx35_selda/u-boot.bin.sig", loader, 0, false},
        NameCase{"selda_top_level_signature_ignored", S, sig, "uImage.sig", none, 0, true},
        NameCase{"orvik_kernel_signature_at_top", O, sig, "uImage.sig", kernel, 0, false},
        NameCase{"orvik_loader_signature_in_folder", O, sig, "imx31_orvik/u-boot.bin.sig", loader, 0, false},
        NameCase{"rootfs_signature_is_exact", O, sig, "rootfs.img.gz.sig", rootfs, 0, false},
        NameCase{"rootfs_signature_is_no_glob", S, sig, "rootfs-2.img.gz.sig", none, 0, true},
        NameCase{"diags_signature", S, sig, "diagsfs.img.sig", diags, 0, false},
        // Install pass.
        NameCase{"selda_install_kernel", S, ins, "imx35_selda/uImage", kernel, 6, false},
        NameCase{"selda_install_loader", S, ins, "imx35_selda/u-boot.bin", loader, 9, false},
        NameCase{"orvik_install_kernel_at_top", O, ins, "uImage", kernel, 6, false},
        NameCase{"orvik_install_loader_at_top", O, ins, "u-boot.bin", loader, 9, false},
        NameCase{"install_rootfs", S, ins, "rootfs.img.gz", rootfs, 60, false},
        NameCase{"install_plain_rootfs_is_ignored", O, ins, "rootfs.img", none, 0, false},
        NameCase{"install_diags", O, ins, "diagsfs.img", diags, 0, false},
        NameCase{"install_anything_else", S, ins, "update.dat", none, 0, true}),
    test::ParamName());

// A family's own rows come before the shared ones; that order must decide
// nothing. Every literal pattern of every row is decided by that very row,
// so no pattern of a family's row is shadowed by, or shadows, a shared row.
TEST(FamilyRules, EveryLiteralPatternIsDecidedByItsOwnRow) {
    for (const family f : {family::selda, family::orvik}) {
        for (const table t : {table::signatures, table::check, table::install}) {
            const auto rules = rules_of(f, t);
            for (const qm::member_rule& row : rules) {
                for (const char* pattern : row.patterns) {
                    if (pattern == nullptr || std::string(pattern).find_first_of("*?[") != std::string::npos)
                        continue;
                    EXPECT_EQ(&qm::member_rule_find(rules, pattern), &row) << pattern;
                }
            }
        }
    }
}

// The check handlers take the image type from the row that chose the
// member: a row that hands a member to them must name one.
TEST(FamilyRules, RowsWithATypedHandlerNameTheirType) {
    for (const family f : {family::selda, family::orvik}) {
        for (const table t : {table::signatures, table::check, table::install}) {
            const auto rules = rules_of(f, t);
            EXPECT_EQ(rules.back().patterns[0], nullptr) << "the last row takes every other name";
            for (const qm::member_rule& row : rules) {
                const bool typed = row.data == qm::image_check_file_data || row.data == qm::signature_check_file_data ||
                                   row.data == qm::staged_file_data;
                if (typed) {
                    EXPECT_NE(row.image_type, qm::image_none) << row.patterns[0];
                }
            }
        }
    }
}

// The install pass writes a member only under the type its install row
// names; the check pass must have digested that member as the same type,
// or its bytes would be written unverified. Names that come close to a row
// (folders, "./", suffixes, case) are walked through both passes' rules.
TEST(FamilyRules, EveryInstalledNameIsCheckedAsTheSameType) {
    const std::string prefixes[] = {"", "./", "/", "imx35_selda/", "imx31_orvik/", "x/imx35_selda/"};
    const std::string bases[] = {"uImage", "u-boot.bin", "rootfs.img.gz", "rootfs-2.img.gz", "rootfs.img",
                                 "diagsfs.img", "diagsfs-1.img", "update.dat", "UImage", "rootfs.img.gz.sig"};
    const std::string suffixes[] = {"", ".sig", ".gz", ".img", "/", ".bak"};
    for (const family f : {family::selda, family::orvik}) {
        for (const std::string& prefix : prefixes) {
            for (const std::string& base : bases) {
                for (const std::string& suffix : suffixes) {
                    const std::string name = prefix + base + suffix;
                    const qm::member_rule& install = qm::member_rule_find(rules_of(f, table::install), name.c_str());
                    if (install.image_type == qm::image_none) continue;
                    SCOPED_TRACE(name);
                    // The check pass sends "*.sig" names to the signature rules, which digest nothing.
                    ASSERT_EQ(name.size() >= 4 && name.compare(name.size() - 4, 4, ".sig") == 0, false);
                    const qm::member_rule& check = qm::member_rule_find(rules_of(f, table::check), name.c_str());
                    EXPECT_EQ(check.image_type, install.image_type);
                    EXPECT_TRUE(check.hashed);
                    EXPECT_EQ(check.data, qm::image_check_file_data);
                }
            }
        }
    }
}

}  // namespace
