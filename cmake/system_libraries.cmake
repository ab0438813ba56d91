# The libraries of the system the programs link: zlib, mbed TLS's crypto
# library and libpng, each found twice by CMake's own lookup: the library a
# program links by default (the shared object on the build machine) and its
# static archive for a static link. A target whose QM_STATIC_LINK property
# is set (the device program) takes the archives; when every program is
# linked statically (the cross build's toolchain file says -static), every
# program does.
#
# Included before qm_core is made. Defines QM_SYSTEM_LIBS (zlib and mbed
# TLS, for qm_core) and QM_PNG_LIBS (libpng and what it needs).

find_library(QM_ZLIB_LIBRARY NAMES z REQUIRED)
find_library(QM_ZLIB_ARCHIVE NAMES libz.a REQUIRED)
find_library(QM_MBEDCRYPTO_LIBRARY NAMES mbedcrypto REQUIRED)
find_library(QM_MBEDCRYPTO_ARCHIVE NAMES libmbedcrypto.a REQUIRED)
find_path(QM_MBEDTLS_INCLUDE_DIR NAMES mbedtls/version.h REQUIRED)
find_library(QM_PNG_LIBRARY NAMES png16 png REQUIRED)
find_library(QM_PNG_ARCHIVE NAMES libpng16.a libpng.a REQUIRED)

# The code is written against the mbed TLS 2 interface (the 3.x series
# renamed or removed much of it): refuse another major version here, with
# the reason, rather than in a page of compiler errors.
set(qm_mbedtls_version "")
foreach(header version.h build_info.h)
    if(NOT qm_mbedtls_version AND EXISTS ${QM_MBEDTLS_INCLUDE_DIR}/mbedtls/${header})
        file(STRINGS ${QM_MBEDTLS_INCLUDE_DIR}/mbedtls/${header} qm_version_line
             REGEX "^#define[ \t]+MBEDTLS_VERSION_STRING[ \t]+\"[0-9.]+\"")
        if(qm_version_line MATCHES "\"([0-9.]+)\"")
            set(qm_mbedtls_version ${CMAKE_MATCH_1})
        endif()
    endif()
endforeach()
if(NOT qm_mbedtls_version)
    message(FATAL_ERROR "No mbed TLS version found in ${QM_MBEDTLS_INCLUDE_DIR}/mbedtls/: quillmar needs "
                        "the mbed TLS 2.x development files (Debian: libmbedtls-dev 2.x).")
endif()
if(NOT qm_mbedtls_version MATCHES "^2\\.")
    message(FATAL_ERROR "mbed TLS ${qm_mbedtls_version} found in ${QM_MBEDTLS_INCLUDE_DIR}, but quillmar "
                        "uses the mbed TLS 2.x interface only. Install the 2.x development files (Debian: "
                        "libmbedtls-dev 2.x), or give QM_MBEDTLS_INCLUDE_DIR, QM_MBEDCRYPTO_LIBRARY and "
                        "QM_MBEDCRYPTO_ARCHIVE of a 2.x build.")
endif()
message(STATUS "mbed TLS ${qm_mbedtls_version}: ${QM_MBEDCRYPTO_LIBRARY}")

if(CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-static( |$)")
    set(QM_SYSTEM_LIBS ${QM_MBEDCRYPTO_ARCHIVE} ${QM_ZLIB_ARCHIVE})
    set(QM_PNG_LIBS ${QM_PNG_ARCHIVE} ${QM_ZLIB_ARCHIVE} m)
else()
    set(qm_static_link $<BOOL:$<TARGET_PROPERTY:QM_STATIC_LINK>>)
    set(QM_SYSTEM_LIBS
        $<IF:${qm_static_link},${QM_MBEDCRYPTO_ARCHIVE},${QM_MBEDCRYPTO_LIBRARY}>
        $<IF:${qm_static_link},${QM_ZLIB_ARCHIVE},${QM_ZLIB_LIBRARY}>)
    # zlib and the maths library follow libpng for static links.
    set(QM_PNG_LIBS ${QM_PNG_LIBRARY} ${QM_ZLIB_LIBRARY} m)
endif()
