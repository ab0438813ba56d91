// Making update bundles: the ustar archive, the gzip stream, the scrambled
// payload behind the header block, and RSA signatures of the images. Used by
// mkbundle and by the tests, so every fixture is made by this one code.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <mbedtls/pk.h>

#include "update/signing.h"

namespace bundle {

struct member {
    std::string name;
    std::string data;
};

// The longest member name the device sees whole (the ustar name field).
inline constexpr size_t max_name_length = 100;
// The device keeps member sizes in 32 bits.
inline constexpr uint64_t max_member_size = 0xFFFFFFFFULL;

// One 512-byte ustar header block (numbers as octal digits ended by NUL).
std::string tar_header_block(std::string_view name, uint64_t size, char typeflag = '0');
// The members in order, each padded to 512 bytes, then two zero blocks
// unless end_blocks is false.
std::string tar_archive(const std::vector<member>& members, bool end_blocks = true);
// A gzip stream of data.
std::string gzip(std::string_view data, int level = Z_DEFAULT_COMPRESSION);
// A bundle file around an already compressed payload: the header block with
// the installable (or over-the-air) magic, then the payload scrambled.
std::string wrap_payload(std::string_view gzip_stream, bool ota = false);
// A whole bundle of the members, in order, unsigned unless they carry
// signature members themselves.
std::string make_bundle(const std::vector<member>& members, bool ota = false);

std::string sha256(std::string_view data);

// An RSA private key used to sign images.
class signing_key {
public:
    signing_key();
    ~signing_key();
    signing_key(const signing_key&) = delete;
    signing_key& operator=(const signing_key&) = delete;

    // Reads a PEM or DER private key; false with a reason on failure or when
    // it is not an RSA key of 1024 or 2048 bits (the device knows no other).
    bool load(const std::string& path, std::string& error);
    size_t bits() const;
    // PKCS#1 v1.5 signature of a 32-byte SHA-256 digest.
    std::string sign_digest(std::string_view digest) const;
    std::string sign(std::string_view data) const { return sign_digest(sha256(data)); }

private:
    mbedtls_pk_context pk_;
};

// Makes a new RSA key pair (exponent 65537) as a PEM private key file;
// refuses to replace an existing file.
bool generate_key(unsigned bits, const std::string& path, std::string& error);

// Board families and how their check rules treat member names.
enum class family { selda, orvik };
bool family_from_name(std::string_view name, family& out);
const qm::check_rules& family_rules(family f);
qm::new_member_handler family_check_new_file(family f);

// The image type the family's check rules give a member name (image_none
// for signatures, text and other members).
int image_type_of(family f, const std::string& name);
// Name of the signature member for an image. Normally name + ".sig"; when
// the rules would not pair that with the image's type, the name they expect
// for the type, with a warning saying so.
std::string signature_name_for(family f, const std::string& name, std::string& warning);

// A name that stays inside the directory it is extracted to.
bool safe_member_name(std::string_view name);

// True for bytes that begin a gzip stream. Such a member gains nothing from
// being compressed again, and the reader would pay for decoding it twice.
bool already_compressed(std::string_view first_bytes);

// Streams a bundle into a file: written under a temporary name beside the
// target and renamed over it only by commit(); otherwise removed. Members
// that are already compressed go into the payload as stored deflate
// blocks, every other member at zlib's default level: either way the
// payload is one ordinary gzip stream.
class bundle_file {
public:
    bundle_file() = default;
    ~bundle_file();
    bundle_file(const bundle_file&) = delete;
    bundle_file& operator=(const bundle_file&) = delete;

    bool open(const std::string& path, bool ota, std::string& error);
    // A member from memory, or from a file read in pieces (its SHA-256 is
    // returned through digest when not null).
    bool add(std::string_view name, std::string_view data, std::string& error);
    bool add_file(std::string_view name, const std::string& source, std::string* digest,
                  std::string& error);
    bool commit(std::string& error);

private:
    bool emit(const void* bytes, size_t length, int flush, std::string& error);
    // Sets the compression level for a member beginning with first_bytes.
    bool start_member(std::string_view first_bytes, std::string& error);
    bool write_out(const uint8_t* bytes, size_t length, std::string& error);

    int fd_ = -1;
    std::string path_, temp_;
    z_stream z_{};
    bool deflating_ = false;
    int level_ = Z_DEFAULT_COMPRESSION;
};

}  // namespace bundle
