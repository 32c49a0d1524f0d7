# Install rules: the libraries with their SONAME links, the headers, the
# tool and its manual page, pkg-config files and a CMake config package
# exporting lzring::lzring (C) and lzring::lzring_cpp (C++).
include(CMakePackageConfigHelpers)

set(LZRING_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lzring)

add_library(lzring::lzring ALIAS lzring)
set(lzring_install_targets lzring)
if(TARGET lzring_cpp)
  list(APPEND lzring_install_targets lzring_cpp)
endif()

install(TARGETS ${lzring_install_targets} EXPORT lzringTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/lzring.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(TARGET lzring_cpp)
  install(FILES include/lzring/lzring.hpp include/lzring/streambuf.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lzring
    COMPONENT development)
endif()

if(TARGET lzring_cli)
  install(TARGETS lzring_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  # unlzring and lzcat: links to the tool, which expands (and, as lzcat,
  # writes to standard output) when called by those names. Made at install
  # time, beside the tool wherever the prefix puts it.
  if(NOT WIN32)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
      set(lzring_bin_dir "${CMAKE_INSTALL_BINDIR}")
    else()
      set(lzring_bin_dir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
    endif()
    foreach(link unlzring lzcat)
      install(CODE "
        set(link \"\$ENV{DESTDIR}${lzring_bin_dir}/${link}\")
        message(STATUS \"Installing: \${link} -> lzring\")
        file(CREATE_LINK lzring \"\${link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")"
        COMPONENT runtime)
    endforeach()
  endif()
  # The manual page takes the version from the build.
  configure_file(docs/lzring.1 ${PROJECT_BINARY_DIR}/lzring.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/lzring.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT runtime)
endif()

install(EXPORT lzringTargets NAMESPACE lzring:: DESTINATION ${LZRING_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/lzringConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lzringConfig.cmake INSTALL_DESTINATION ${LZRING_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lzringConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lzringConfig.cmake
  ${PROJECT_BINARY_DIR}/lzringConfigVersion.cmake
  DESTINATION ${LZRING_CMAKE_DIR} COMPONENT development)

# pkg-config files. The prefix is found from the file's own place
# (${pcfiledir}), so a staged install (cmake --install --prefix DIR) is as
# usable as the final one.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(LZRING_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH LZRING_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" LZRING_PC_UP "${LZRING_PC_UP}")
  set(LZRING_PC_PREFIX "\${pcfiledir}/${LZRING_PC_UP}")
endif()
foreach(pc lzring lzring-cpp)
  if(pc STREQUAL "lzring-cpp" AND NOT TARGET lzring_cpp)
    continue()
  endif()
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endforeach()
