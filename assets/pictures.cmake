# The pictures the device program carries: each PNG of assets/ is turned
# into a compressed 2-bit picture by qmpicture, and the results are embedded
# in qm_core as byte arrays (display/pictures.h declares them).
set(QM_PICTURE_NAMES
    ss_recovery ss_erasecheck_600x800 ss_erasecheck_824x1200 pattern ss_battery_empty monofont sprites)
set(QM_PICTURE_DIR ${CMAKE_BINARY_DIR}/generated/pictures)
set(QM_PICTURES_CPP ${CMAKE_BINARY_DIR}/generated/display/pictures.cpp)

# A cross build cannot run the qmpicture it builds: it takes one built for
# the build machine instead, given or built here in host/ of the build tree
# with the build machine's own compiler.
if(CMAKE_CROSSCOMPILING)
    set(QM_HOST_QMPICTURE "" CACHE FILEPATH "qmpicture built for the build machine (empty: build one)")
    if(QM_HOST_QMPICTURE)
        set(qm_picture_tool ${QM_HOST_QMPICTURE})
        set(qm_picture_tool_dependency ${QM_HOST_QMPICTURE})
    else()
        include(ExternalProject)
        set(qm_picture_tool ${CMAKE_BINARY_DIR}/host/bin/qmpicture)
        ExternalProject_Add(qm_host_qmpicture
            SOURCE_DIR ${PROJECT_SOURCE_DIR}
            BINARY_DIR ${CMAKE_BINARY_DIR}/host
            CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF
            BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target qmpicture
            BUILD_ALWAYS ON
            BUILD_BYPRODUCTS ${qm_picture_tool}
            INSTALL_COMMAND "")
        set(qm_picture_tool_dependency qm_host_qmpicture ${qm_picture_tool})
    endif()
else()
    set(qm_picture_tool qmpicture)
    set(qm_picture_tool_dependency qmpicture)
endif()

set(qm_embed_args)
set(qm_packed_files)
foreach(name ${QM_PICTURE_NAMES})
    set(png ${PROJECT_SOURCE_DIR}/assets/${name}.png)
    set(packed ${QM_PICTURE_DIR}/${name}.qmp)
    add_custom_command(
        OUTPUT ${packed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_PICTURE_DIR}
        COMMAND ${qm_picture_tool} encode --bpp 2 ${png} ${packed}
        DEPENDS ${qm_picture_tool_dependency} ${png}
        COMMENT "Compressing picture ${name}"
        VERBATIM)
    list(APPEND qm_embed_args ${name}=${packed})
    list(APPEND qm_packed_files ${packed})
endforeach()

add_custom_command(
    OUTPUT ${QM_PICTURES_CPP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/display
    COMMAND ${qm_picture_tool} embed ${QM_PICTURES_CPP} ${qm_embed_args}
    DEPENDS ${qm_picture_tool_dependency} ${qm_packed_files}
    COMMENT "Embedding the pictures"
    VERBATIM)
target_sources(qm_core PRIVATE ${QM_PICTURES_CPP})
