# The processor check of the ARM build (scripts/check-arm-processor): every
# program the build makes, the device program's stripped copy too, claims
# no more than ARMv6 with VFPv2 and runs a sample under qemu-arm -cpu
# arm1136-r2. A test of its own, so that ctest and CI run it beside the others.
#
# Included at the end of the top CMakeLists.txt, when every target exists.

function(qm_executables_in dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    set(found "")
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        get_target_property(for_reader ${target} QM_FOR_READER)
        if(type STREQUAL "EXECUTABLE" AND NOT for_reader STREQUAL "NO")
            list(APPEND found $<TARGET_FILE:${target}>)
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        qm_executables_in(${subdir} more)
        list(APPEND found ${more})
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()

qm_executables_in(${PROJECT_SOURCE_DIR} qm_arm_programs)
if(TARGET quillmar AND NOT QM_SANITIZE)
    list(APPEND qm_arm_programs $<TARGET_FILE:quillmar>.stripped)
endif()
add_test(NAME arm_processor_check COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-arm-processor ${qm_arm_programs})
set_tests_properties(arm_processor_check PROPERTIES LABELS arm-check TIMEOUT 900)

# The check itself must fail where it should: on programs built for ARMv7
# (Thumb-2, NEON) and for ARMv6K (test fixtures, left out of the check
# above) it reports the attributes and the SIGILL of the sample.
foreach(later armv7 armv6k)
    add_executable(qm_${later}_program ${PROJECT_SOURCE_DIR}/tests/arm/later_processor_program.c)
    set_target_properties(qm_${later}_program PROPERTIES QM_FOR_READER NO
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/check)
    add_test(NAME arm_processor_check_refuses_${later}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-arm-processor $<TARGET_FILE:qm_${later}_program>)
endforeach()
target_compile_options(qm_armv7_program PRIVATE -march=armv7-a -mthumb -mfpu=neon -mfloat-abi=softfp)
target_compile_options(qm_armv6k_program PRIVATE -march=armv6k -marm)
set_tests_properties(arm_processor_check_refuses_armv7 PROPERTIES LABELS arm-check
    PASS_REGULAR_EXPRESSION "built for v7.*Thumb-2.*NEON.*died under qemu-arm -cpu arm1136-r2")
set_tests_properties(arm_processor_check_refuses_armv6k PROPERTIES LABELS arm-check
    PASS_REGULAR_EXPRESSION "built for v6K.*died under qemu-arm -cpu arm1136-r2")
