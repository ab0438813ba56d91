#include "bundle_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/error.h>
#include <mbedtls/entropy.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include "update/unbundle_common.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

namespace bundle {

namespace {

constexpr size_t block = 512;

// An octal number of width - 1 digits ended by a NUL, as the device's
// parser requires (a trailing space is refused).
void put_octal(char* field, size_t width, uint64_t value) {
    std::snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
                  static_cast<unsigned long long>(value));
}

size_t padding(uint64_t size) { return static_cast<size_t>((block - size % block) % block); }

// Random numbers for key generation and signing (blinding).
struct random_source {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    bool ok = false;
    random_source() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        static const unsigned char label[] = "mkbundle";
        ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, label, sizeof label - 1) == 0;
    }
    ~random_source() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

std::string mbedtls_text(int code) {
    char text[200];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

std::string tar_header_block(std::string_view name, uint64_t size, char typeflag) {
    std::string header(block, '\0');
    char* h = header.data();
    std::memcpy(h, name.data(), std::min(name.size(), max_name_length));
    put_octal(h + 100, 8, 0644);
    put_octal(h + 108, 8, 0);
    put_octal(h + 116, 8, 0);
    put_octal(h + 124, 12, size);
    put_octal(h + 136, 12, 0);
    h[156] = typeflag;
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memcpy(h + 265, "root", 4);
    std::memcpy(h + 297, "root", 4);
    put_octal(h + 329, 8, 0);
    put_octal(h + 337, 8, 0);
    // The checksum is summed with its own field as spaces.
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : header) sum += c;
    std::snprintf(h + 148, 8, "%06o", sum);
    h[155] = ' ';
    return header;
}

std::string tar_archive(const std::vector<member>& members, bool end_blocks) {
    std::string archive;
    for (const member& m : members) {
        archive += tar_header_block(m.name, m.data.size());
        archive += m.data;
        archive.append(padding(m.data.size()), '\0');
    }
    if (end_blocks) archive.append(2 * block, '\0');
    return archive;
}

std::string gzip(std::string_view data, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string wrap_payload(std::string_view gzip_stream, bool ota) {
    std::string file(qm::bundle_header_size, '\0');
    std::memcpy(file.data(), ota ? qm::bundle_magic_ota : qm::bundle_magic, 4);
    const size_t start = file.size();
    file += gzip_stream;
    qm::payload_scramble({reinterpret_cast<uint8_t*>(file.data()) + start, gzip_stream.size()});
    return file;
}

std::string make_bundle(const std::vector<member>& members, bool ota) {
    return wrap_payload(gzip(tar_archive(members)), ota);
}

std::string sha256(std::string_view data) {
    std::string digest(32, '\0');
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                       reinterpret_cast<unsigned char*>(digest.data()), 0);
    return digest;
}

signing_key::signing_key() { mbedtls_pk_init(&pk_); }
signing_key::~signing_key() { mbedtls_pk_free(&pk_); }

bool signing_key::load(const std::string& path, std::string& error) {
    mbedtls_pk_free(&pk_);
    mbedtls_pk_init(&pk_);
    const int result = mbedtls_pk_parse_keyfile(&pk_, path.c_str(), nullptr);
    if (result != 0) {
        error = path + ": cannot read the private key: " + mbedtls_text(result);
        return false;
    }
    if (mbedtls_pk_get_type(&pk_) != MBEDTLS_PK_RSA) {
        error = path + ": not an RSA key";
        return false;
    }
    if (bits() != 1024 && bits() != 2048) {
        error = path + ": an RSA key of " + std::to_string(bits()) +
                " bits; the device verifies 1024- and 2048-bit keys only";
        return false;
    }
    return true;
}

size_t signing_key::bits() const { return mbedtls_pk_get_bitlen(&pk_); }

std::string signing_key::sign_digest(std::string_view digest) const {
    random_source random;
    std::string sig(MBEDTLS_PK_SIGNATURE_MAX_SIZE, '\0');
    size_t length = 0;
    auto* pk = const_cast<mbedtls_pk_context*>(&pk_);
    if (!random.ok ||
        mbedtls_pk_sign(pk, MBEDTLS_MD_SHA256, reinterpret_cast<const unsigned char*>(digest.data()),
                        digest.size(), reinterpret_cast<unsigned char*>(sig.data()), &length,
                        mbedtls_ctr_drbg_random, &random.drbg) != 0)
        return {};
    sig.resize(length);
    return sig;
}

bool generate_key(unsigned bits, const std::string& path, std::string& error) {
    if (bits != 1024 && bits != 2048) {
        error = "the key size must be 1024 or 2048 bits";
        return false;
    }
    random_source random;
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::string pem(16000, '\0');
    int result = random.ok ? 0 : -1;
    if (result == 0) result = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (result == 0)
        result = mbedtls_rsa_gen_key(mbedtls_pk_rsa(pk), mbedtls_ctr_drbg_random, &random.drbg, bits, 65537);
    if (result == 0)
        result = mbedtls_pk_write_key_pem(&pk, reinterpret_cast<unsigned char*>(pem.data()), pem.size());
    mbedtls_pk_free(&pk);
    if (result != 0) {
        error = "cannot generate the key: " + mbedtls_text(result);
        return false;
    }
    pem.resize(std::strlen(pem.c_str()));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno) + (errno == EEXIST ? " (not replaced)" : "");
        return false;
    }
    const bool written = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size()) &&
                         ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        error = path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

bool family_from_name(std::string_view name, family& out) {
    if (name == "selda") out = family::selda;
    else if (name == "orvik") out = family::orvik;
    else return false;
    return true;
}

const qm::check_rules& family_rules(family f) {
    return f == family::selda ? qm::selda::check_pass_rules : qm::orvik::check_pass_rules;
}

qm::new_member_handler family_check_new_file(family f) {
    return f == family::selda ? qm::selda::check_new_file : qm::orvik::check_new_file;
}

int image_type_of(family f, const std::string& name) {
    if (fnmatch("*.sig", name.c_str(), 0) == 0) return qm::image_none;
    return qm::member_rule_find(family_rules(f).images, name.c_str()).image_type;
}

std::string signature_name_for(family f, const std::string& name, std::string& warning) {
    warning.clear();
    const int type = image_type_of(f, name);
    const auto& signatures = family_rules(f).signatures;
    const std::string natural = name + ".sig";
    if (qm::member_rule_find(signatures, natural.c_str()).image_type == type) return natural;
    // The rules pair signatures with image types, not names: use the one
    // name they give the type.
    for (const qm::member_rule& rule : signatures) {
        if (rule.image_type != type) continue;
        const std::string expected = rule.patterns[0];
        warning = name + ": the device would not pair " + natural + " with it; its signature is named " +
                  expected;
        return expected;
    }
    warning = name + ": no signature name pairs with this image";
    return {};
}

bool safe_member_name(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

bundle_file::~bundle_file() {
    if (deflating_) deflateEnd(&z_);
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool bundle_file::open(const std::string& path, bool ota, std::string& error) {
    path_ = path;
    const std::filesystem::path target(path);
    std::string pattern = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) /
                          ("." + target.filename().string() + ".XXXXXX");
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    temp_ = pattern;
    ::fchmod(fd_, 0644);
    std::string header(qm::bundle_header_size, '\0');
    std::memcpy(header.data(), ota ? qm::bundle_magic_ota : qm::bundle_magic, 4);
    if (!write_out(reinterpret_cast<const uint8_t*>(header.data()), header.size(), error)) return false;
    if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        error = "cannot start the compressor";
        return false;
    }
    deflating_ = true;
    return true;
}

bool bundle_file::write_out(const uint8_t* bytes, size_t length, std::string& error) {
    while (length > 0) {
        const ssize_t n = ::write(fd_, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = temp_ + ": " + std::strerror(errno);
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool bundle_file::emit(const void* bytes, size_t length, int flush, std::string& error) {
    uint8_t out[65536];
    z_.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    z_.avail_in = static_cast<uInt>(length);
    int result = Z_OK;
    do {
        z_.next_out = out;
        z_.avail_out = sizeof out;
        result = deflate(&z_, flush);
        if (result == Z_STREAM_ERROR) {
            error = "compression failed";
            return false;
        }
        const size_t produced = sizeof out - z_.avail_out;
        qm::payload_scramble({out, produced});
        if (!write_out(out, produced, error)) return false;
    } while (z_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return true;
}

bool already_compressed(std::string_view first_bytes) {
    return first_bytes.size() >= 2 && static_cast<uint8_t>(first_bytes[0]) == 0x1F &&
           static_cast<uint8_t>(first_bytes[1]) == 0x8B;
}

bool bundle_file::start_member(std::string_view first_bytes, std::string& error) {
    const int level = already_compressed(first_bytes) ? Z_NO_COMPRESSION : Z_DEFAULT_COMPRESSION;
    if (level == level_) return true;
    // What the old level still holds is compressed and written first.
    uint8_t out[65536];
    int result = Z_BUF_ERROR;
    while (result == Z_BUF_ERROR) {
        z_.next_in = nullptr;
        z_.avail_in = 0;
        z_.next_out = out;
        z_.avail_out = sizeof out;
        result = deflateParams(&z_, level, Z_DEFAULT_STRATEGY);
        const size_t produced = sizeof out - z_.avail_out;
        qm::payload_scramble({out, produced});
        if (!write_out(out, produced, error)) return false;
    }
    if (result != Z_OK) {
        error = "compression failed";
        return false;
    }
    level_ = level;
    return true;
}

bool bundle_file::add(std::string_view name, std::string_view data, std::string& error) {
    const std::string header = tar_header_block(name, data.size());
    const std::string pad(padding(data.size()), '\0');
    return start_member(data.substr(0, 2), error) && emit(header.data(), header.size(), Z_NO_FLUSH, error) &&
           emit(data.data(), data.size(), Z_NO_FLUSH, error) &&
           emit(pad.data(), pad.size(), Z_NO_FLUSH, error);
}

bool bundle_file::add_file(std::string_view name, const std::string& source, std::string* digest,
                           std::string& error) {
    const int in = ::open(source.c_str(), O_RDONLY);
    if (in < 0) {
        error = source + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) error = source + ": not a regular file";
    const uint64_t size = ok ? static_cast<uint64_t>(st.st_size) : 0;
    if (ok && size > max_member_size) {
        error = source + ": larger than the 4 GiB a bundle member can hold";
        ok = false;
    }
    mbedtls_sha256_context sha;
    mbedtls_sha256_init(&sha);
    mbedtls_sha256_starts_ret(&sha, 0);
    if (ok) {
        char first[2] = {};
        const ssize_t got = ::pread(in, first, sizeof first, 0);
        const std::string header = tar_header_block(name, size);
        ok = start_member({first, got > 0 ? static_cast<size_t>(got) : 0}, error) &&
             emit(header.data(), header.size(), Z_NO_FLUSH, error);
    }
    uint64_t done = 0;
    std::vector<uint8_t> buffer(1 << 20);
    while (ok && done < size) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            error = source + (n < 0 ? ": " + std::string(std::strerror(errno)) : ": changed while it was read");
            ok = false;
            break;
        }
        const size_t count = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), size - done));
        mbedtls_sha256_update_ret(&sha, buffer.data(), count);
        ok = emit(buffer.data(), count, Z_NO_FLUSH, error);
        done += count;
    }
    if (ok) {
        const std::string pad(padding(size), '\0');
        ok = emit(pad.data(), pad.size(), Z_NO_FLUSH, error);
    }
    if (ok && digest != nullptr) {
        digest->assign(32, '\0');
        mbedtls_sha256_finish_ret(&sha, reinterpret_cast<unsigned char*>(digest->data()));
    }
    mbedtls_sha256_free(&sha);
    ::close(in);
    return ok;
}

bool bundle_file::commit(std::string& error) {
    const std::string end(2 * block, '\0');
    if (!emit(end.data(), end.size(), Z_FINISH, error)) return false;
    deflateEnd(&z_);
    deflating_ = false;
    if (::fsync(fd_) != 0 || ::close(std::exchange(fd_, -1)) != 0) {
        error = temp_ + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    temp_.clear();
    return true;
}

}  // namespace bundle
