# What `cmake --install` lays out under the prefix, and the packages CPack
# makes of the same tree (`make package`):
#
#   lib/tarvelin/            the programs of an installation directory:
#                            tarvelin, updater, updater.ini, updater.png and a
#                            dependentlibs.list naming the engine library
#   lib/tarvelin-examples/   the example engine libqir.so (not an installation)
#   bin/                     the publisher tools upq, qbdiff, make-update
#   lib/libvlmalloc.so       the preload allocator
#   include/vlm/             the engine SDK: public headers,
#   lib/cmake/Vlm/           find_package(Vlm CONFIG) -> Vlm::engine,
#   lib/pkgconfig/vlm.pc     the same for pkg-config
#   share/doc/tarvelin/      a README per audience, the format documents and
#                            the example engine's sources
#
# Every path below is relative to the prefix, which `cmake --install --prefix`
# (or `make install PREFIX=`) picks at install time: the SDK files find the
# headers relative to their own location.
#
# Sanitizer builds have no tarvelin and no libvlmalloc.so: only what exists
# is installed.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VLM_INSTALL_APPDIR ${CMAKE_INSTALL_LIBDIR}/tarvelin)
set(VLM_INSTALL_EXAMPLEDIR ${CMAKE_INSTALL_LIBDIR}/tarvelin-examples)
set(VLM_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tarvelin)
set(VLM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vlm)
set(VLM_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
foreach(dir VLM_INSTALL_APPDIR VLM_INSTALL_PKGCONFIGDIR CMAKE_INSTALL_INCLUDEDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} (${${dir}}) must be relative to the prefix")
  endif()
endforeach()

# The installation directory's programs and the files shipped beside them.
foreach(program tarvelin updater)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${VLM_INSTALL_APPDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/updater.ini
              ${PROJECT_SOURCE_DIR}/examples/updater.png
              ${PROJECT_SOURCE_DIR}/examples/dependentlibs.list
        DESTINATION ${VLM_INSTALL_APPDIR})
if(TARGET vlm_example_engine_v1)
  install(TARGETS vlm_example_engine_v1 LIBRARY DESTINATION ${VLM_INSTALL_EXAMPLEDIR})
endif()

# The publisher tools. make-update finds upq and qbdiff next to itself.
foreach(tool upq qbdiff)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/make-update DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TARGET vlmalloc)
  install(TARGETS vlmalloc LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The engine SDK. An engine compiles against the public headers and binds to
# tarvelin's exported runtime when tarvelin loads it: it links no library of
# ours, so Vlm::engine carries only the headers, C++20 and threads.
add_library(vlm_engine INTERFACE)
add_library(Vlm::engine ALIAS vlm_engine)
set_target_properties(vlm_engine PROPERTIES EXPORT_NAME engine)
target_include_directories(vlm_engine INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(vlm_engine INTERFACE cxx_std_20)
target_link_libraries(vlm_engine INTERFACE Threads::Threads)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vlm
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(TARGETS vlm_engine EXPORT VlmTargets)
install(EXPORT VlmTargets NAMESPACE Vlm:: DESTINATION ${VLM_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VlmConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/sdk/VlmConfig.cmake
                              INSTALL_DESTINATION ${VLM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sdk/VlmConfigVersion.cmake
                                 VERSION ${VLM_PRODUCT_VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/sdk/VlmConfig.cmake
              ${PROJECT_BINARY_DIR}/sdk/VlmConfigVersion.cmake
        DESTINATION ${VLM_INSTALL_CMAKEDIR})

# vlm.pc locates the prefix from its own directory (${pcfiledir}).
file(RELATIVE_PATH VLM_PC_PREFIX /prefix/${VLM_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" VLM_PC_PREFIX "${VLM_PC_PREFIX}")
set(VLM_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/vlm.pc.in ${PROJECT_BINARY_DIR}/sdk/vlm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sdk/vlm.pc DESTINATION ${VLM_INSTALL_PKGCONFIGDIR})

# Documents: one README per audience, the formats, the example engine.
install(FILES ${PROJECT_SOURCE_DIR}/docs/readme/README.md
              ${PROJECT_SOURCE_DIR}/docs/readme/README.installation.md
              ${PROJECT_SOURCE_DIR}/docs/readme/README.engine.md
              ${PROJECT_SOURCE_DIR}/docs/readme/README.publishing.md
        DESTINATION ${VLM_INSTALL_DOCDIR})
file(GLOB VLM_FORMAT_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${VLM_FORMAT_DOCS} DESTINATION ${VLM_INSTALL_DOCDIR}/formats)
install(FILES ${PROJECT_SOURCE_DIR}/examples/engine/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/engine/Makefile
              ${PROJECT_SOURCE_DIR}/examples/engine/engine.cc
              ${PROJECT_SOURCE_DIR}/examples/engine/update_check.cc
              ${PROJECT_SOURCE_DIR}/examples/engine/update_check.h
        DESTINATION ${VLM_INSTALL_DOCDIR}/examples/engine)

# Packages: a .deb and a .tar.xz of the installed tree.
set(CPACK_PACKAGE_NAME tarvelin)
set(CPACK_PACKAGE_VENDOR Tarvelin)
set(CPACK_PACKAGE_VERSION ${VLM_PRODUCT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tarvelin start-up and maintenance layer, update tools and engine SDK")
set(CPACK_PACKAGE_DESCRIPTION
    "tarvelin starts the browser engine and carries the runtime it links against;
the updater applies update archives. Also the publisher tools (upq, qbdiff,
make-update), the preload allocator libvlmalloc.so and the headers, CMake
package and pkg-config file to build an engine library.")
set(CPACK_PACKAGE_CONTACT "Tarvelin developers <tarvelin@localhost>")
set(CPACK_GENERATOR DEB TXZ)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
# Shared-library dependencies come from dpkg-shlibdeps; make-update is a
# Python script, which no library scan sees.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
include(CPack)
