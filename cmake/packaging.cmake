# Installation and packages, included from the top-level CMakeLists.txt once its targets exist.
# `cmake --install BUILD [--prefix DIR]` puts in place:
#   bin/chunksieve, its man page (gzipped where gzip is) and its bash completion;
#   the library: lib/libchunksieve.a, which stands alone, and libchunksieve.so.0 where
#   CHUNKSIEVE_SHARED is on (Windows: bin/libchunksieve.dll, lib/libchunksieve.dll.a), with
#   include/chunksieve/chunksieve.h;
#   a CMake package: find_package(chunksieve CONFIG) gives chunksieve::chunksieve (the shared
#   library where it was built, else the static one) and chunksieve::chunksieve_static;
#   lib/pkgconfig/chunksieve.pc, for `pkg-config --cflags --libs chunksieve`;
#   and on Linux what a Debian package carries: share/doc/chunksieve/copyright and
#   changelog.gz, and share/lintian/overrides/chunksieve.
# `cpack -G DEB` in the build directory makes chunksieve_VERSION_ARCH.deb of the same files.
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CHUNKSIEVE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/chunksieve)
set(CHUNKSIEVE_MAINTAINER "chunksieve maintainers <maintainers@chunksieve.example>"
    CACHE STRING "The packages' maintainer, as Debian writes it: NAME <ADDRESS>")

# ---- the command ----
install(TARGETS chunksieve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants its manual pages and changelogs compressed, with no name or time in the header.
find_program(CHUNKSIEVE_GZIP gzip)
mark_as_advanced(CHUNKSIEVE_GZIP)
set(CHUNKSIEVE_GZIPPED)
function(chunksieve_gzip source gzipped)
  get_filename_component(name ${source} NAME)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/gzip/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${CHUNKSIEVE_GZIP} -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  set(${gzipped} ${copy}.gz PARENT_SCOPE)
  set(CHUNKSIEVE_GZIPPED ${CHUNKSIEVE_GZIPPED} ${copy}.gz PARENT_SCOPE)
endfunction()

if(CHUNKSIEVE_GZIP)
  chunksieve_gzip(${CMAKE_CURRENT_SOURCE_DIR}/doc/chunksieve.1 CHUNKSIEVE_MAN_PAGE)
else()
  set(CHUNKSIEVE_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/doc/chunksieve.1)
endif()
install(FILES ${CHUNKSIEVE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(NOT WIN32)
  install(FILES contrib/chunksieve.bash RENAME chunksieve
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# ---- the library, its header and the CMake package ----
set(CHUNKSIEVE_LIBRARY_TARGETS chunksieve_lib)
if(TARGET chunksieve_shared)
  list(APPEND CHUNKSIEVE_LIBRARY_TARGETS chunksieve_shared)
  add_library(chunksieve::chunksieve ALIAS chunksieve_shared)
else()
  add_library(chunksieve::chunksieve ALIAS chunksieve_lib)
endif()
add_library(chunksieve::chunksieve_static ALIAS chunksieve_lib)  # as installed, in this tree
install(TARGETS ${CHUNKSIEVE_LIBRARY_TARGETS} EXPORT chunksieveTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/chunksieve/chunksieve.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/chunksieve)
install(EXPORT chunksieveTargets NAMESPACE chunksieve:: DESTINATION ${CHUNKSIEVE_CMAKE_DIR})
configure_package_config_file(cmake/chunksieveConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/chunksieveConfig.cmake
                              INSTALL_DESTINATION ${CHUNKSIEVE_CMAKE_DIR})
# One SONAME, libchunksieve.so.0, for every 0.x: a project that asks for 0.1 takes a later 0.x.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/chunksieveConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chunksieveConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/chunksieveConfigVersion.cmake
        DESTINATION ${CHUNKSIEVE_CMAKE_DIR})

# ---- pkg-config ----
# chunksieve.pc names the prefix, which is known only when installing (cmake --install --prefix,
# CPack): it is written then, from the template configured now.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(CHUNKSIEVE_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  set(CHUNKSIEVE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(CHUNKSIEVE_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(CHUNKSIEVE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
list(TRANSFORM CHUNKSIEVE_CXX_RUNTIME PREPEND -l OUTPUT_VARIABLE CHUNKSIEVE_PC_CXX_RUNTIME)
list(JOIN CHUNKSIEVE_PC_CXX_RUNTIME " " CHUNKSIEVE_PC_CXX_RUNTIME)
set(CHUNKSIEVE_PC_PREFIX "@CHUNKSIEVE_PC_PREFIX@")  # left for the install
configure_file(cmake/chunksieve.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/chunksieve.pc.in @ONLY)
install(CODE "
  set(CHUNKSIEVE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/chunksieve.pc.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/chunksieve.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/chunksieve.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the Debian package's own files ----
if(CHUNKSIEVE_GZIP AND NOT WIN32)
  configure_file(cmake/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
  chunksieve_gzip(${CMAKE_CURRENT_BINARY_DIR}/debian/changelog CHUNKSIEVE_CHANGELOG)
  install(FILES cmake/debian/copyright ${CHUNKSIEVE_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES cmake/debian/lintian-overrides RENAME chunksieve
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
endif()
add_custom_target(chunksieve_gzipped ALL DEPENDS ${CHUNKSIEVE_GZIPPED})

# ---- CPack: cpack -G DEB ----
set(CPACK_PACKAGE_NAME chunksieve)
set(CPACK_PACKAGE_VENDOR "chunksieve maintainers")
set(CPACK_PACKAGE_CONTACT ${CHUNKSIEVE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "keep the first copy of every content-defined chunk of a stream")
# Debian shows the description as it is: lines of at most 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "chunksieve cuts a stream into content-defined chunks, recognises the chunks it"
  "has met before and writes only the new ones; with a map, it rebuilds the stream"
  "from what it kept. An index kept between runs makes each run write only what no"
  "earlier run wrote."
  ""
  "This package holds the chunksieve command and libchunksieve, its C library,"
  "shared and static, with its header, a CMake package and a pkg-config file.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CHUNKSIEVE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends: from dpkg-shlibdeps, which reads the installed packages' files, with no network.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A package with a shared library needs a shlibs file, made by CPack, and the ldconfig trigger.
# (CPack's postinst and postrm run ldconfig as well, of which lintian warns.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/out/")
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
