#include "commands.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "bundle_writer.h"
#include "command_signer.h"
#include "device_keys.h"
#include "json_report.h"
#include "member_walk.h"
#include "signer.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/gz_source.h"
#include "update/signing.h"
#include "update/unbundle_common.h"

namespace mkbundle {

namespace {

namespace fs = std::filesystem;

int fail(const std::string& message) {
    qm::err("mkbundle: %s\n", message.c_str());
    return 1;
}

int usage_error(const std::string& message) {
    qm::err("mkbundle: %s (see mkbundle --help)\n", message.c_str());
    return 2;
}

const char* family_name(bundle::family family) { return family == bundle::family::selda ? "selda" : "orvik"; }

// Options shared by the commands that read a bundle.
struct read_options {
    bundle::family family = bundle::family::selda;
    bool json = false;
    std::vector<std::string> pubkeys;  // verify only
    std::vector<std::string> files;
};

int parse_read_options(const args& a, size_t files, read_options& o, bool verifying = false) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--family") {
            if (i + 1 == a.size() || !bundle::family_from_name(a[i + 1], o.family))
                return usage_error("--family takes selda or orvik");
            ++i;
        } else if (a[i] == "--json") {
            o.json = true;
        } else if (verifying && a[i] == "--pubkey") {
            if (i + 1 == a.size()) return usage_error("--pubkey takes a key file");
            o.pubkeys.push_back(a[++i]);
        } else if (a[i].starts_with("--")) {
            return usage_error("unknown option " + a[i]);
        } else {
            o.files.push_back(a[i]);
        }
    }
    if (o.files.size() != files) return usage_error("wrong number of arguments");
    return 0;
}

// The bundle opened for one walk, closed on every path.
struct open_bundle {
    int fd = -1;
    ~open_bundle() {
        if (fd >= 0) ::close(fd);
    }
};

bool open_for_walk(const std::string& path, open_bundle& b) {
    b.fd = ::open(path.c_str(), O_RDONLY);
    if (b.fd < 0) {
        fail(path + ": " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(b.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(path + ": not a regular file");
        return false;
    }
    return true;
}

// --- extract ----------------------------------------------------------------

struct extract_walk {
    fs::path staging;
    std::vector<std::string> files;  // in archive order, as staged
    std::set<std::string> dirs;
    bool refused = false;
    int fd = -1;
};
extract_walk* current_extract = nullptr;

int extract_data(void*, qm::untar_stream* stream, qm::tar_header* header, uint64_t offset,
                  uint32_t length, const uint8_t* bytes) {
    extract_walk& w = *current_extract;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(w.fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fail(std::string(header->name) + ": " + std::strerror(errno));
            w.refused = true;
            ::close(std::exchange(w.fd, -1));
            qm::untar_set_file_data(stream, qm::ignore_file_data);
            return 1;
        }
        done += static_cast<size_t>(n);
    }
    if (qm::member_complete(header, offset, length)) ::close(std::exchange(w.fd, -1));
    return 1;
}

int extract_new(void*, qm::untar_stream* stream, qm::tar_header* header) {
    extract_walk& w = *current_extract;
    if (w.fd >= 0) ::close(std::exchange(w.fd, -1));
    qm::untar_set_file_data(stream, qm::ignore_file_data);
    std::string name = header->name;
    if (!bundle::safe_member_name(name)) {
        fail(std::string("refusing member '") + header->name + "': it would leave the directory");
        w.refused = true;
        return 1;
    }
    if (header->typeflag == '5') {
        while (name.ends_with('/')) name.pop_back();
        if (!name.empty()) w.dirs.insert(name);
        return 1;
    }
    if (header->typeflag != '0' && header->typeflag != '\0') {
        qm::err("mkbundle: WARNING: skipping '%s': not a regular file (type %c)\n", header->name,
                header->typeflag);
        return 1;
    }
    if (name.ends_with('/')) {
        fail("refusing member '" + name + "': not a file name");
        w.refused = true;
        return 1;
    }
    const fs::path staged = w.staging / name;
    std::error_code ec;
    fs::create_directories(staged.parent_path(), ec);
    w.fd = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (w.fd < 0) {
        fail(name + ": " + std::strerror(errno));
        w.refused = true;
        return 1;
    }
    w.files.push_back(name);
    if (header->size == 0) ::close(std::exchange(w.fd, -1));
    else qm::untar_set_file_data(stream, extract_data);
    return 1;
}

// Creates the folders of relative under root, refusing to pass through
// anything that is not a real directory (a symbolic link could lead out).
bool make_parents(const fs::path& root, const fs::path& relative) {
    fs::path at = root;
    for (const fs::path& part : relative.parent_path()) {
        if (part == ".") continue;
        at /= part;
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) {
            if (::mkdir(at.c_str(), 0755) != 0) return false;
        } else if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
    }
    return true;
}

// The bytes an image puts on its destination: a root file system image is
// inflated there, and so is a diagnostics image that is gzip (it is copied
// through a gzip reader); the raw images go as they are. -1 when the file
// cannot be read (a gzip image that does not inflate cleanly included).
long long installed_size(int type, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    if (type != qm::image_rootfs && type != qm::image_diagsfs) return st.st_size;
    sys::unique_fd fd(sys::kernel().open(path.c_str(), O_RDONLY));
    if (!fd.valid()) return -1;
    qm::GzSource content(fd.get());
    std::vector<unsigned char> buffer(1 << 20);
    long long total = 0;
    for (long n; (n = content.read(buffer.data(), buffer.size())) != 0; total += n)
        if (n < 0) return -1;
    return total;
}

uint64_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Refuses what the device would refuse: an image larger than its
// destination (as far as a tool without the device can know it).
bool fits_its_destination(bundle::family family, int type, const std::string& name, const std::string& path,
                          std::string& error) {
    const uint64_t room = bundle::family_rules(family).room(type, nullptr);
    if (room == 0) return true;
    const long long size = installed_size(type, path);
    if (size < 0) {
        error = name + ": cannot read " + path + (type == qm::image_rootfs ? " as gzip" : "") + " to its end";
        return false;
    }
    if (static_cast<uint64_t>(size) <= room) return true;
    const bool inflated = static_cast<uint64_t>(size) != file_size(path);
    error = name + ": " + std::to_string(size) + " bytes" + (inflated ? " once inflated" : "") +
            " do not fit in the " + std::to_string(room) + " bytes of its destination; the device refuses such a bundle";
    return false;
}

}  // namespace

int keygen(const args& a) {
    unsigned bits = 0;
    std::string out;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--bits" && i + 1 < a.size()) {
            const std::string& value = a[++i];
            bits = value == "1024" ? 1024 : value == "2048" ? 2048 : 0;
            if (bits == 0) return usage_error("--bits takes 1024 or 2048");
        } else if (a[i] == "--out" && i + 1 < a.size()) {
            out = a[++i];
        } else {
            return usage_error("unexpected argument " + a[i]);
        }
    }
    if (bits == 0 || out.empty()) return usage_error("keygen needs --bits and --out");
    std::string error;
    if (!bundle::generate_key(bits, out, error)) return fail(error);
    qm::out("%s: new %u-bit RSA key\n", out.c_str(), bits);
    return 0;
}

namespace {

// A signer as given: --key KEY or --sign-command CMD.
struct signer_choice {
    bool command = false;
    std::string text;
};

// The signers of create, opened in the order given; commands take the
// public keys in the order of their --sign-pubkey options.
int open_signers(const std::vector<signer_choice>& choices, const std::vector<std::string>& command_keys,
                 signer_options& options, std::vector<std::unique_ptr<signer>>& signers) {
    std::string error;
    size_t next_key = 0;
    for (const signer_choice& choice : choices) {
        std::unique_ptr<signer> s = choice.command
                                        ? open_command_signer(choice.text, command_keys[next_key++], options, error)
                                        : open_key(choice.text, options, error);
        if (s == nullptr) return fail(error);
        signers.push_back(std::move(s));
    }
    return 0;
}

// The development key is a convenience of the build tree: an installed
// mkbundle is told which key signs, even where a source tree is at hand.
bool run_from_build_tree() {
    std::error_code ec;
    const fs::path running = fs::read_symlink("/proc/self/exe", ec);
    return !ec && fs::equivalent(running, QM_BUILD_TREE_MKBUNDLE, ec);
}

bool parse_seconds(const std::string& text, unsigned& seconds) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value == 0 || value > 86400) return false;
    seconds = static_cast<unsigned>(value);
    return true;
}

}  // namespace

int create(const args& a) {
    std::string out;
    bundle::family family = bundle::family::selda;
    std::vector<signer_choice> signer_choices;
    std::vector<std::string> command_keys;
    signer_options options;
    bool ota = false;
    std::vector<std::pair<std::string, std::string>> members;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--out" && i + 1 < a.size()) {
            out = a[++i];
        } else if (a[i] == "--family") {
            if (i + 1 == a.size() || !bundle::family_from_name(a[i + 1], family))
                return usage_error("--family takes selda or orvik");
            ++i;
        } else if (a[i] == "--key" && i + 1 < a.size()) {
            signer_choices.push_back({false, a[++i]});
        } else if (a[i] == "--sign-command" && i + 1 < a.size()) {
            signer_choices.push_back({true, a[++i]});
        } else if (a[i] == "--sign-pubkey" && i + 1 < a.size()) {
            command_keys.push_back(a[++i]);
        } else if (a[i] == "--sign-input" && i + 1 < a.size()) {
            const std::string& input = a[++i];
            if (input != "digest" && input != "data") return usage_error("--sign-input takes digest or data");
            options.command_gets_data = input == "data";
        } else if (a[i] == "--sign-timeout" && i + 1 < a.size()) {
            if (!parse_seconds(a[++i], options.command_timeout))
                return usage_error("--sign-timeout takes a number of seconds from 1 to 86400");
        } else if (a[i] == "--pkcs11-module" && i + 1 < a.size()) {
            options.module_path = a[++i];
        } else if (a[i] == "--pin-file" && i + 1 < a.size()) {
            options.pin_file = a[++i];
        } else if (a[i] == "--ota") {
            ota = true;
        } else if (a[i].starts_with("--")) {
            return usage_error("unknown option " + a[i]);
        } else {
            const size_t eq = a[i].find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == a[i].size())
                return usage_error("members are given as NAME=PATH, not '" + a[i] + "'");
            members.emplace_back(a[i].substr(0, eq), a[i].substr(eq + 1));
        }
    }
    if (out.empty()) return usage_error("create needs --out FILE");
    if (members.empty()) return usage_error("create needs at least one NAME=PATH");
    if (signer_choices.size() > 2) return usage_error("--key and --sign-command may be given twice in all");
    const size_t commands = static_cast<size_t>(
        std::count_if(signer_choices.begin(), signer_choices.end(), [](const signer_choice& s) { return s.command; }));
    if (command_keys.size() != commands)
        return usage_error("each --sign-command needs one --sign-pubkey with the public key it signs for");
    if (signer_choices.empty()) {
        if (!run_from_build_tree() || ::access(QM_DEV_KEY1, R_OK) != 0)
            return usage_error("name a signing key with --key or --sign-command");
        signer_choices.push_back({false, QM_DEV_KEY1});
        qm::err("mkbundle: NOTE: signing with the development key %s\n", QM_DEV_KEY1);
    }

    std::string error;
    std::vector<std::unique_ptr<signer>> signers;
    if (const int status = open_signers(signer_choices, command_keys, options, signers)) return status;

    // Refuse what the device would refuse or a later extract could not
    // write back, before anything is written.
    std::set<std::string> names;
    std::string images_of_type[qm::image_type_count];
    for (const auto& [name, path] : members) {
        if (name.size() > bundle::max_name_length)
            return fail(name + ": member names are at most 100 bytes long");
        if (!bundle::safe_member_name(name) || name.ends_with('/'))
            return fail(name + ": not a member name that stays inside the bundle");
        if (fnmatch("*.sig", name.c_str(), 0) == 0)
            return fail(name + ": signature members are made by mkbundle itself");
        if (!names.insert(name).second) return fail(name + ": given twice");
        const int type = bundle::image_type_of(family, name);
        if (type == qm::image_none) continue;
        if (!images_of_type[type].empty())
            return fail(name + ": a second " + qm::bundle_info_name(type) + " image (after " +
                        images_of_type[type] + "); the device refuses such a bundle");
        images_of_type[type] = name;
        std::string warning;
        if (bundle::signature_name_for(family, name, warning).empty()) return fail(warning);
        if (!warning.empty()) qm::err("mkbundle: WARNING: %s\n", warning.c_str());
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_size == 0)
            qm::err("mkbundle: WARNING: %s is empty; the device treats it as missing\n", name.c_str());
        if (!fits_its_destination(family, type, name, path, error)) return fail(error);
    }

    bundle::bundle_file file;
    if (!file.open(out, ota, error)) return fail(error);
    size_t signed_count = 0;
    for (const auto& [name, path] : members) {
        std::string digest;
        if (!file.add_file(name, path, &digest, error)) return fail(error);
        qm::out("%s <- %s\n", name.c_str(), path.c_str());
        if (bundle::image_type_of(family, name) == qm::image_none) continue;
        // With two keys the images take turns, so one bundle can carry
        // signatures of both.
        const size_t k = signed_count++ % signers.size();
        std::string sig;
        if (!make_signature(*signers[k], {name, path, digest}, sig, error)) return fail(name + ": " + error);
        std::string warning;
        const std::string sig_name = bundle::signature_name_for(family, name, warning);
        if (!file.add(sig_name, sig, error)) return fail(error);
        qm::out("%s: signature of %s with %s (%zu bytes)\n", sig_name.c_str(), name.c_str(),
                signers[k]->name().c_str(), sig.size());
    }
    if (!file.commit(error)) return fail(error);
    return 0;
}

int list(const args& a) {
    read_options o;
    if (const int status = parse_read_options(a, 1, o)) return status;
    std::optional<json_output> json;
    if (o.json) json.emplace();
    bundle_report report;
    report.command = "list";
    report.bundle = o.files[0];
    report.family = family_name(o.family);
    open_bundle b;
    if (open_for_walk(o.files[0], b)) {
        qm::image_check checks[qm::image_type_count]{};
        report.complete = walk_members(o.files[0].c_str(), b.fd, o.family, nullptr, checks, report.members);
        if (!report.complete) fail(o.files[0] + ": not a readable bundle");
    }
    if (json) {
        json->write(list_json(report));
    } else {
        for (const listed_member& m : report.members) {
            if (m.sha256.empty()) continue;  // cut short by the failure reported above
            qm::out("%s\t%llu\t%s\t%s\n", m.name.c_str(), static_cast<unsigned long long>(m.size),
                    m.type.c_str(), m.sha256.c_str());
        }
    }
    return report.complete ? 0 : 1;
}

int verify(const args& a) {
    read_options o;
    if (const int status = parse_read_options(a, 1, o, true)) return status;
    device_keys keys = builtin_device_keys();
    std::string error;
    if (!o.pubkeys.empty() && !device_keys_from_files(o.pubkeys, keys, error)) return fail(error);
    // The transcript goes to the standard error stream, the document alone
    // to the standard output.
    std::optional<json_output> json;
    if (o.json) json.emplace();
    const char* path = o.files[0].c_str();
    bundle_report report;
    report.command = "verify";
    report.bundle = o.files[0];
    report.family = family_name(o.family);
    qm::image_check checks[qm::image_type_count]{};
    // A signed image that cannot be inflated whole is refused here, though
    // the device finds out only when it installs it.
    checks[qm::image_rootfs].inflate_check = checks[qm::image_diagsfs].inflate_check = 1;
    verdict_report verdict;
    verdict.keys = &keys;
    verdict.checks = checks;
    open_bundle b;
    if (!open_for_walk(o.files[0], b)) {
        if (json) json->write(verify_json(report, verdict));
        return 1;
    }
    qm::progress_base = 0;
    qm::err("*** CHECKING %s ***\n", path);
    const qm::new_member_handler check = bundle::family_check_new_file(o.family);
    report.complete = o.json ? walk_members(path, b.fd, o.family, check, checks, report.members)
                             : qm::do_unbundle(path, b.fd, nullptr, check, checks);
    verdict.made = report.complete;
    verdict.authorised = verdict.made && qm::check_verdict(checks, keys.view(), &verdict.signed_by);
    std::string with_keys;
    for (const std::string& file : o.pubkeys) with_keys += (with_keys.empty() ? " (keys: " : ", ") + file;
    if (!with_keys.empty()) with_keys += ")";
    qm::out("\nmkbundle: %s is %s to install on the %s family%s%s\n", path,
            verdict.authorised ? "authorised" : "NOT authorised", family_name(o.family), with_keys.c_str(),
            verdict.made ? "" : " (the check pass failed)");
    if (json) json->write(verify_json(report, verdict));
    return verdict.authorised ? 0 : 1;
}

int extract(const args& a) {
    if (a.size() != 2 || a[0].starts_with("--") || a[1].starts_with("--"))
        return usage_error("extract takes FILE DIR");
    open_bundle b;
    if (!open_for_walk(a[0], b)) return 1;
    const fs::path dir = a[1];
    // Staged beside the nearest existing folder on the way to DIR, so the
    // files can be renamed into place and nothing shows before the end.
    fs::path parent = dir.parent_path();
    while (!parent.empty() && !fs::is_directory(parent)) parent = parent.parent_path();
    if (parent.empty()) parent = dir.is_absolute() ? fs::path("/") : fs::path(".");
    std::string pattern = (parent / ".mkbundle-extract-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return fail(parent.string() + ": " + std::strerror(errno));
    extract_walk walk;
    walk.staging = pattern;
    current_extract = &walk;
    qm::image_check checks[qm::image_type_count]{};
    const int ok = qm::do_unbundle(a[0].c_str(), b.fd, nullptr, extract_new, checks);
    current_extract = nullptr;
    // A member still open when the walk ends was cut short: never hand out
    // part of a file as the whole.
    const bool cut_short = walk.fd >= 0;
    if (cut_short) ::close(walk.fd);
    int status = 0;
    if (!ok || walk.refused || cut_short) {
        status = fail(a[0] + ": nothing extracted");
    } else {
        std::error_code ec;
        fs::create_directories(dir, ec);
        for (const std::string& d : walk.dirs) {
            if (!make_parents(dir, fs::path(d) / "x")) {
                status = fail((dir / d).string() + ": " + std::strerror(errno));
                break;
            }
        }
        for (size_t i = 0; status == 0 && i < walk.files.size(); ++i) {
            const std::string& name = walk.files[i];
            if (!make_parents(dir, name) ||
                ::rename((walk.staging / name).c_str(), (dir / name).c_str()) != 0) {
                status = fail((dir / name).string() + ": " + std::strerror(errno));
                break;
            }
            qm::out("%s\n", (dir / name).c_str());
        }
    }
    std::error_code ec;
    fs::remove_all(walk.staging, ec);
    return status;
}

}  // namespace mkbundle
