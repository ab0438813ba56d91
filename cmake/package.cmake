# Installing the host tools (cmake --install) and the Debian package of them
# (cpack in the build folder; scripts/test-package builds, installs and runs
# it). The device program is no host tool: it is linked statically and runs
# as the first process of the reader, so neither installs it; nor do they
# install the development keys.
include(GNUInstallDirs)

set(QM_HOST_TOOLS mkbundle ckimage qmpicture quillmar-sim)
install(TARGETS ${QM_HOST_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, written from the docs pages, with the version filled in and
# compressed as Debian keeps them.
find_program(QM_GZIP gzip REQUIRED)
set(qm_manual_pages "")
foreach(tool ${QM_HOST_TOOLS})
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${tool}.1 ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz
                       COMMAND ${QM_GZIP} -9 -n -f -k ${page}
                       DEPENDS ${page}
                       COMMENT "Compressing the manual page of ${tool}")
    list(APPEND qm_manual_pages ${page}.gz)
endforeach()
add_custom_target(qm_manual_pages ALL DEPENDS ${qm_manual_pages})
install(FILES ${qm_manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/mkbundle.md docs/bundle-format.md docs/key-rotation.md docs/ckimage.md
              docs/picture-tool.md docs/simulator.md docs/install.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillmar-tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmar-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quillmar")
set(CPACK_PACKAGE_CONTACT "quillmar firmware team <firmware@quillmar.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host tools for the quillmar e-paper reader's update bundles")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "host tools for the quillmar e-paper reader's update bundles\n mkbundle makes, signs (with key files, keys in PKCS#11 modules or outside\n signing commands), lists, verifies and extracts update bundles; ckimage\n checks kernel and boot-loader images; qmpicture converts the embedded\n pictures; quillmar-sim runs the reader's recovery program on a simulated\n device.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The dependencies are those of the shared libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
