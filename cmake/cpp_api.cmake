# The C++ API (include/lzring/lzring.hpp; the api/ files that implement its
# classes: codec_object*.cpp, encoder.cpp, decoder.cpp, streambuf.cpp).
#
# liblzring.so exports the three C entry points and nothing else, so the C++
# API is a library of its own: liblzring-cpp.so.1, built with hidden
# visibility so that only what LZRING_CXX_API marks is exported, and with the
# core linked in privately. The codec object keeps its state behind one
# pointer, so its layout does not change when the internals do. The same
# objects also form a static library for the command-line tool, which then
# needs no shared library at run time.
lzring_sources(LZRING_CPP_SOURCES cpp-api cpp-files cpp-iostreams)

add_library(lzring_cpp_objects OBJECT ${LZRING_CPP_SOURCES})
target_link_libraries(lzring_cpp_objects PRIVATE lzring_core)
target_compile_definitions(lzring_cpp_objects PRIVATE LZRING_CXX_BUILDING)

add_library(lzring_cpp SHARED $<TARGET_OBJECTS:lzring_cpp_objects>)
add_library(lzring::lzring_cpp ALIAS lzring_cpp)
target_link_libraries(lzring_cpp PRIVATE lzring_core)
target_include_directories(lzring_cpp PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(lzring_cpp PUBLIC cxx_std_20)
set_target_properties(lzring_cpp PROPERTIES OUTPUT_NAME lzring-cpp
  VERSION ${PROJECT_VERSION} SOVERSION 1 EXPORT_NAME lzring_cpp)
if(NOT WIN32 AND NOT APPLE)
  target_link_options(lzring_cpp PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)
endif()

add_library(lzring_cpp_static STATIC $<TARGET_OBJECTS:lzring_cpp_objects>)
target_link_libraries(lzring_cpp_static PUBLIC lzring_core)
target_compile_definitions(lzring_cpp_static INTERFACE LZRING_CXX_STATIC)
target_include_directories(lzring_cpp_static PUBLIC ${PROJECT_SOURCE_DIR}/include)

if(WIN32)
  # lzring-cpp.dll beside lzring.dll, and its import library lzring-cpp.lib.
  # The C++ runtime stays a DLL (libstdc++-6.dll): the API hands standard
  # library objects across (error codes, whose categories are compared by
  # address, vectors, exceptions), which works only when the program and
  # the library share one runtime.
  set_target_properties(lzring_cpp PROPERTIES
    PREFIX ""
    IMPORT_PREFIX ""
    IMPORT_SUFFIX ".lib"
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
endif()
