# SHA-256 on the reader's 32-bit ARM: mbed TLS's interface computed by the
# ARM assembly of OpenSSL's libcrypto (src/update/sha256_arm.cpp), linked
# from the static archive so that only its SHA-256 block function comes in.
# Other targets keep mbed TLS's own code.
#
# Included after the core sources are listed and before qm_core is made.
set(qm_sha256_arm_source ${PROJECT_SOURCE_DIR}/src/update/sha256_arm.cpp)
list(REMOVE_ITEM QM_CORE_SOURCES ${qm_sha256_arm_source})

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(qm_sha256_arm_default ON)
else()
    set(qm_sha256_arm_default OFF)
endif()
option(QM_SHA256_LIBCRYPTO "SHA-256 by libcrypto's ARM assembly instead of mbed TLS's C code"
       ${qm_sha256_arm_default})

if(QM_SHA256_LIBCRYPTO)
    find_library(QM_LIBCRYPTO_STATIC NAMES libcrypto.a)
    if(NOT QM_LIBCRYPTO_STATIC)
        message(FATAL_ERROR "QM_SHA256_LIBCRYPTO needs the static libcrypto of the target "
                            "(libssl-dev:armel: scripts/install-deps --armel)")
    endif()
    add_library(qm_sha256_arm OBJECT ${qm_sha256_arm_source})
    # The objects go straight into every program that links qm_core (not
    # into an archive the linker may pass over), ahead of mbed TLS.
    set(qm_sha256_arm_link $<TARGET_OBJECTS:qm_sha256_arm> ${QM_LIBCRYPTO_STATIC})
endif()
