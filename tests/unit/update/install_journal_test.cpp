#include "update/install_journal.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "support/param_name.h"
#include "support/simkernel.h"
#include "update/crc.h"

namespace {

constexpr const char* journal_path = "/mnt-us/install.jnl";

qm::install_journal sample() {
    qm::install_journal journal{};
    std::strcpy(journal.bundle, "update_diags.bin");
    journal.bundle_size = 7340032;
    journal.boots = 2;
    journal.verified = (1u << qm::image_uimage) | (1u << qm::image_diagsfs);
    journal.unfinished = (1u << qm::image_rootfs) | qm::journal_unknown_images;
    journal.panel = qm::journal_panel::hung;
    for (int i = 0; i < 32; ++i) {
        journal.sha256[qm::image_uimage][i] = static_cast<uint8_t>(i);
        journal.sha256[qm::image_diagsfs][i] = static_cast<uint8_t>(0xF0 - i);
    }
    return journal;
}

bool same(const qm::install_journal& a, const qm::install_journal& b) {
    bool digests = true;
    for (int type = 0; type < qm::image_type_count; ++type)
        if (a.verified & (1u << type)) digests &= std::memcmp(a.sha256[type], b.sha256[type], 32) == 0;
    return std::strcmp(a.bundle, b.bundle) == 0 && a.bundle_size == b.bundle_size && a.boots == b.boots &&
           a.verified == b.verified && digests && a.unfinished == b.unfinished && a.installed == b.installed &&
           a.panel == b.panel;
}

// A text as a person might edit it on a host, with its CRC line put right.
std::string with_crc(const std::string& body) {
    const uint32_t crc = ~qm::crc32_calc(reinterpret_cast<const uint8_t*>(body.data()), body.size(), 0xFFFFFFFF);
    char line[20];
    std::snprintf(line, sizeof line, "crc %08" PRIx32 "\n", crc);
    return body + line;
}

TEST(InstallJournal, TextReadsBackAsWritten) {
    const std::string text = qm::install_journal_text(sample());
    EXPECT_EQ(text.rfind("quillmar install journal 1\nbundle update_diags.bin\nsize 7340032\nboots 2\nUImage 000102", 0),
              0u)
        << text;
    EXPECT_NE(text.find("\nunfinished RootFS unknown\npanel hung\ncrc "), std::string::npos) << text;
    qm::install_journal parsed{};
    ASSERT_TRUE(qm::install_journal_parse(text, &parsed)) << text;
    EXPECT_TRUE(same(parsed, sample()));
    qm::install_journal installed = sample();
    installed.unfinished = 0;
    installed.installed = true;
    installed.panel = qm::journal_panel::starting;
    ASSERT_TRUE(qm::install_journal_parse(qm::install_journal_text(installed), &parsed));
    EXPECT_TRUE(same(parsed, installed));
}

// A power cut while the journal is written, or one flipped byte, must never
// read as a journal: it would count boots or name a bundle wrongly.
TEST(InstallJournal, EveryCutShortOrChangedTextIsRefused) {
    const std::string text = qm::install_journal_text(sample());
    qm::install_journal parsed = sample();
    parsed.boots = 77;
    for (size_t length = 0; length < text.size(); ++length)
        EXPECT_FALSE(qm::install_journal_parse(text.substr(0, length), &parsed)) << length;
    for (size_t at = 0; at < text.size(); ++at) {
        std::string changed = text;
        changed[at] = static_cast<char>(changed[at] ^ 0x04);
        EXPECT_FALSE(qm::install_journal_parse(changed, &parsed)) << at;
    }
    EXPECT_EQ(parsed.boots, 77u);  // untouched by every refusal
}

struct EditedCase {
    const char* name;
    const char* body;
    bool accepted;
};

class EditedJournal : public testing::TestWithParam<EditedCase> {};

TEST_P(EditedJournal, OnlyCompleteAndSensibleContentIsTaken) {
    qm::install_journal parsed{};
    EXPECT_EQ(qm::install_journal_parse(with_crc(GetParam().body), &parsed), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EditedJournal,
    testing::Values(
        EditedCase {"minimal", "quillmar install journal 1\nbundle update.bin\nsize 0\nboots 1\n", true},
        EditedCase {"name_with_blanks", "quillmar install journal 1\nbundle update new.bin\nsize 5\nboots 1\n", true},
        EditedCase {"no_bundle", "quillmar install journal 1\nsize 5\nboots 1\n", false},
        EditedCase {"no_size", "quillmar install journal 1\nbundle update.bin\nboots 1\n", false},
        EditedCase {"empty_name", "quillmar install journal 1\nbundle \nsize 5\nboots 1\n", false},
        EditedCase {"negative_boots", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots -1\n", false},
        EditedCase {"huge_boots", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 99999999999\n", false},
        EditedCase {"unknown_line", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nowner me\n", false},
        EditedCase {"other_version", "quillmar install journal 2\nbundle u.bin\nsize 5\nboots 1\n", false},
        EditedCase {"short_digest", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nUImage abcd\n", false},
        EditedCase {"upper_case_digest",
                    "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nRootFS "
                    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n",
                    false},
        EditedCase {"line_without_end", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1", false},
        EditedCase {"unfinished_images",
                    "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nunfinished UBoot DiagsFS\n", true},
        EditedCase {"unfinished_nothing", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nunfinished \n",
                    false},
        EditedCase {"unfinished_unknown_name",
                    "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\nunfinished RootFS Bogus\n", false},
        EditedCase {"installed_no", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\ninstalled no\n", false},
        EditedCase {"panel_other", "quillmar install journal 1\nbundle u.bin\nsize 5\nboots 1\npanel broken\n", false}),
    test::ParamName());

// The user store's mount point, unmounted: a directory of the device.
class JournalFile : public testing::Test {
protected:
    JournalFile() { device.kernel().mkdir("/mnt-us", 0755); }
    test::SimDevice device;
};

TEST_F(JournalFile, WrittenReadAndRemoved) {
    qm::install_journal read{};
    EXPECT_EQ(qm::install_journal_read(journal_path, &read), 0);
    ASSERT_EQ(qm::install_journal_write(journal_path, sample()), 1);
    ASSERT_EQ(qm::install_journal_read(journal_path, &read), 1);
    EXPECT_TRUE(same(read, sample()));
    // A shorter journal replaces a longer one whole.
    qm::install_journal shorter = sample();
    shorter.verified = 0;
    ASSERT_EQ(qm::install_journal_write(journal_path, shorter), 1);
    ASSERT_EQ(qm::install_journal_read(journal_path, &read), 1);
    EXPECT_TRUE(same(read, shorter));
    EXPECT_EQ(qm::install_journal_remove(journal_path), 1);
    EXPECT_EQ(qm::install_journal_read(journal_path, &read), 0);
    EXPECT_EQ(qm::install_journal_remove(journal_path), 1);  // nothing left is fine
}

TEST_F(JournalFile, DamagedFileIsReportedAndNotTaken) {
    test::write_file(device.host("mnt-us/install.jnl"), qm::install_journal_text(sample()).substr(0, 40));
    qm::install_journal read{};
    device.take_console();
    EXPECT_EQ(qm::install_journal_read(journal_path, &read), -1);
    EXPECT_EQ(device.take_console(), "WARNING:/mnt-us/install.jnl is damaged\n");
    EXPECT_EQ(read.bundle[0], '\0');
}

// The new journal is written beside the old one and renamed over it: a
// write, flush or rename that fails (or a power cut before the rename)
// leaves the old journal whole, and with it the count of boots that tried.
struct FailedWriteCase {
    const char* name;
    const char* fault;
    const char* message;
};

class FailedJournalWrite : public JournalFile, public testing::WithParamInterface<FailedWriteCase> {};

TEST_P(FailedJournalWrite, LeavesTheOldJournalAsItWas) {
    ASSERT_EQ(qm::install_journal_write(journal_path, sample()), 1);
    std::string error;
    device.kernel().faults().add(*sim::parse_fault(GetParam().fault, error));
    qm::install_journal next = sample();
    next.boots = 3;
    next.verified = 0;
    device.take_console();
    EXPECT_EQ(qm::install_journal_write(journal_path, next), 0);
    EXPECT_EQ(device.take_console(), GetParam().message);
    qm::install_journal read {};
    ASSERT_EQ(qm::install_journal_read(journal_path, &read), 1);
    EXPECT_TRUE(same(read, sample()));
    EXPECT_FALSE(std::filesystem::exists(device.host("mnt-us/install.jnl.new")));
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedJournalWrite,
                         testing::Values(FailedWriteCase {"write", "eio:/mnt-us/install.jnl.new",
                                                          "ERROR:/mnt-us/install.jnl.new:Input/output error(5)\n"},
                                         FailedWriteCase {"flush", "eio-fsync:/mnt-us/install.jnl.new",
                                                          "ERROR:/mnt-us/install.jnl.new:Input/output error(5)\n"}),
                         test::ParamName());

// A folder of the owner's under the journal's name is left alone: the
// journal goes under the spare name instead of blocking every update.
TEST_F(JournalFile, AFolderUnderItsNameIsLeftAloneAndTheSpareNameTaken) {
    ASSERT_EQ(device.kernel().mkdir("/mnt-us/install.jnl", 0755), 0);
    test::write_file(device.host("mnt-us/install.jnl/notes.txt"), "mine\n");
    const char* place = qm::install_journal_place();
    EXPECT_STREQ(place, "/mnt-us/install2.jnl");
    ASSERT_EQ(qm::install_journal_write(place, sample()), 1);
    qm::install_journal read {};
    ASSERT_EQ(qm::install_journal_read(place, &read), 1);
    EXPECT_TRUE(same(read, sample()));
    EXPECT_EQ(test::read_file(device.host("mnt-us/install.jnl/notes.txt")), "mine\n");
    std::remove(device.host("mnt-us/install.jnl/notes.txt").c_str());
    ASSERT_EQ(device.kernel().rmdir("/mnt-us/install.jnl"), 0);
    EXPECT_STREQ(qm::install_journal_place(), "/mnt-us/install.jnl");
}

class VerifiedHook : public JournalFile {
protected:
    void SetUp() override {
        session.journal = sample();
        session.journal.verified = 0;
        for (int type = 0; type < qm::image_type_count; ++type) checks[type] = {};
        checks[qm::image_rootfs].present = 1;
        std::memset(checks[qm::image_rootfs].sha256, 0x5A, 32);
    }
    qm::install_journal_session session{journal_path, {}};
    qm::image_check checks[qm::image_type_count];
};

TEST_F(VerifiedHook, RecordsTheVerifiedDigestsBeforeAnythingIsWritten) {
    ASSERT_EQ(qm::install_journal_record_verified(&session, "/mnt-us/update_diags.bin", checks), 1);
    qm::install_journal read{};
    ASSERT_EQ(qm::install_journal_read(journal_path, &read), 1);
    EXPECT_EQ(read.verified, 1u << qm::image_rootfs);
    EXPECT_EQ(read.sha256[qm::image_rootfs][31], 0x5A);
    EXPECT_EQ(read.boots, 2u);
    // The same images at the next boot keep the count.
    ASSERT_EQ(qm::install_journal_record_verified(&session, "/mnt-us/update_diags.bin", checks), 1);
    EXPECT_EQ(session.journal.boots, 2u);
}

TEST_F(VerifiedHook, OtherImagesUnderTheSameNameCountAfresh) {
    ASSERT_EQ(qm::install_journal_record_verified(&session, "/mnt-us/update_diags.bin", checks), 1);
    session.journal.boots = 3;
    checks[qm::image_rootfs].sha256[0] ^= 1;
    device.take_console();
    ASSERT_EQ(qm::install_journal_record_verified(&session, "/mnt-us/update_diags.bin", checks), 1);
    EXPECT_EQ(session.journal.boots, 1u);
    EXPECT_EQ(device.take_console(), "INFO:/mnt-us/update_diags.bin holds other images than the update begun "
                                     "before; counting its boots afresh\n");
}

TEST_F(VerifiedHook, AJournalThatCannotBeWrittenStopsTheInstall) {
    std::string error;
    device.kernel().faults().add(*sim::parse_fault("eio:/mnt-us/install.jnl.new", error));
    device.take_console();
    EXPECT_EQ(qm::install_journal_record_verified(&session, "/mnt-us/update_diags.bin", checks), 0);
    EXPECT_NE(device.take_console().find("ERROR:Could not record the update in /mnt-us/install.jnl; not installing "
                                         "/mnt-us/update_diags.bin\n"),
              std::string::npos);
}

}  // namespace
