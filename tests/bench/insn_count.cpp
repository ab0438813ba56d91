// Counts the guest instructions a program executes under QEMU's user-mode
// emulator: a TCG plugin loaded with
//
//   qemu-arm -plugin build/bin/libqm_insn_count.so,out=FILE PROGRAM ARGS...
//
// At exit it writes "instructions: N" to FILE (to the standard error stream
// without out=). Every translated block adds its instruction count each time
// it runs, so the figure is exact for the program whatever else the machine
// is doing; a block left early by a signal would count whole, which a
// single-threaded program without signals never does.
//
// With profile=FILE it also writes, for every translated block, its guest
// address and the instructions it executed ("0x10a2c 123456"), which
// tests/bench/arm-profile adds up by function.
//
// Debian's emulator is built with plugin support but ships neither the
// plugin header nor example plugins, so the few entry points used are
// declared here as the emulator exports them (plugin interface version 1).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>

extern "C" {

using qemu_plugin_id_t = uint64_t;
struct qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
using qemu_plugin_udata_cb_t = void (*)(qemu_plugin_id_t id, void* userdata);
using qemu_plugin_vcpu_tb_trans_cb_t = void (*)(qemu_plugin_id_t id, qemu_plugin_tb* tb);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(qemu_plugin_tb* tb, qemu_plugin_op op, void* ptr,
                                              uint64_t imm);
size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

}  // extern "C"

namespace {

uint64_t executed = 0;
const char* out_path = nullptr;
const char* profile_path = nullptr;

struct block_count {
    uint64_t address;
    uint64_t instructions;  // of one run of the block
    uint64_t runs;
};
std::deque<block_count> blocks;  // stable addresses for the inline counters

void on_translate(qemu_plugin_id_t, qemu_plugin_tb* tb) {
    const size_t instructions = qemu_plugin_tb_n_insns(tb);
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, instructions);
    if (profile_path != nullptr) {
        blocks.push_back({qemu_plugin_tb_vaddr(tb), instructions, 0});
        qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &blocks.back().runs, 1);
    }
}

void write_profile() {
    FILE* out = std::fopen(profile_path, "w");
    if (out == nullptr) {
        std::perror(profile_path);
        return;
    }
    for (const block_count& b : blocks)
        if (b.runs != 0)
            std::fprintf(out, "0x%llx %llu\n", static_cast<unsigned long long>(b.address),
                         static_cast<unsigned long long>(b.instructions * b.runs));
    std::fclose(out);
}

void on_exit(qemu_plugin_id_t, void*) {
    FILE* out = out_path != nullptr ? std::fopen(out_path, "w") : stderr;
    if (out == nullptr) {
        std::perror(out_path);
        return;
    }
    std::fprintf(out, "instructions: %llu\n", static_cast<unsigned long long>(executed));
    if (out != stderr) std::fclose(out);
    if (profile_path != nullptr) write_profile();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                                          const qemu_info_t*, int argc,
                                                                          char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "out=", 4) == 0) {
            out_path = argv[i] + 4;
        } else if (std::strncmp(argv[i], "profile=", 8) == 0) {
            profile_path = argv[i] + 8;
        } else {
            std::fprintf(stderr, "qm_insn_count: unknown argument %s (out=FILE, profile=FILE)\n", argv[i]);
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_exit, nullptr);
    return 0;
}
