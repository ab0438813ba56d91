# Turns two RSA public keys (PEM, public or private key files) into the
# byte arrays the device verifies bundle signatures with.
#
#   cmake -DOPENSSL=openssl -DKEY1=k1.pem -DKEY2=k2.pem -DOUT=signing_keys.h -P signing_keys.cmake
#
# Key 1 must have a 1024-bit modulus and key 2 a 2048-bit one; both public
# exponents must fit in three bytes. The moduli are stored with one leading
# zero byte, as the device expects.

function(read_key file bits prefix)
    execute_process(COMMAND ${OPENSSL} rsa -pubin -in ${file} -noout -text -modulus
                    OUTPUT_VARIABLE text ERROR_VARIABLE ignored RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        execute_process(COMMAND ${OPENSSL} rsa -in ${file} -noout -text -modulus
                        OUTPUT_VARIABLE text ERROR_VARIABLE problem RESULT_VARIABLE status)
    endif()
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${file}: not an RSA key: ${problem}")
    endif()
    if(NOT text MATCHES "Modulus=([0-9A-Fa-f]+)")
        message(FATAL_ERROR "${file}: no modulus found")
    endif()
    set(modulus ${CMAKE_MATCH_1})
    string(LENGTH ${modulus} digits)
    math(EXPR want "${bits} / 4")
    if(NOT digits EQUAL want)
        message(FATAL_ERROR "${file}: the modulus must have ${bits} bits (has ${digits} hex digits)")
    endif()
    if(NOT text MATCHES "Exponent: ([0-9]+)")
        message(FATAL_ERROR "${file}: no public exponent found")
    endif()
    set(exponent ${CMAKE_MATCH_1})
    if(exponent GREATER 16777215)
        message(FATAL_ERROR "${file}: the public exponent ${exponent} does not fit in 3 bytes")
    endif()
    math(EXPR exponent_hex "${exponent}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING ${exponent_hex} 2 -1 exponent_hex)
    string(LENGTH ${exponent_hex} n)
    while(n LESS 6)
        string(PREPEND exponent_hex "0")
        math(EXPR n "${n} + 1")
    endwhile()
    string(PREPEND modulus "00")
    foreach(part mod exp)
        if(part STREQUAL "mod")
            set(hex ${modulus})
        else()
            set(hex ${exponent_hex})
        endif()
        string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," bytes ${hex})
        string(LENGTH ${hex} hex_length)
        math(EXPR count "${hex_length} / 2")
        string(APPEND body "inline constexpr unsigned char ${prefix}_${part}[${count}] = {\n    ${bytes}\n};\n")
    endforeach()
    set(body "${body}" PARENT_SCOPE)
endfunction()

set(body "")
read_key(${KEY1} 1024 key1)
set(all "${body}")
set(body "")
read_key(${KEY2} 2048 key2)
string(APPEND all "${body}")
file(WRITE ${OUT}.tmp
"// Generated at build time from ${KEY1} and ${KEY2}; do not edit.
#pragma once

namespace qm {

${all}
}  // namespace qm
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
