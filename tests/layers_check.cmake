# Checks that includes point down the layers: for every folder, the folders,
# sub-folders or single headers that its files may include besides its own;
# and that no two layers have a file of the same name. Public headers are
# "lzring.h" and "lzring/..." (include/); system headers (<...>) are free. A
# bare name ("x.h") must be a file beside the one that includes it: a header
# found through an include path of the build would hide which layer it is in.
#   cmake -DSOURCE_DIR=<project root> -P layers_check.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed_platform "")
set(allowed_streams "platform")
set(allowed_codec "platform")
# The small core for microcontrollers stands alone at the bottom: two plain
# C files and their header, which a firmware build takes without the rest.
set(allowed_mcu "")
set(allowed_api "platform;streams;codec;include")
# The tool, the Python and WebAssembly bindings and the Windows hosts are
# applications of the public headers alone; the tool has platform files of
# its own, which share the library's table of Win32 error codes (a header
# that depends on nothing else), so that both report a failure alike, and
# it runs its jobs on the platform layer's threads and holds its locks.
set(allowed_cli "include;platform/win32_errno.h;platform/thread.h")
set(allowed_python "include")
set(allowed_js "include")
# The Windows hosts check the DLL against the known vectors of the tests.
set(allowed_windows "include;tests/support")
# The benchmark and the fuzz targets also run the codec as a library, with
# the thread start that its threaded encoder takes (platform/thread.h), and
# compare it with the reference codec and workloads of the tests' support;
# the fuzz targets also compare the small core for microcontrollers with
# the codec.
set(allowed_bench "codec;include;tests/support;platform/thread.h")
set(allowed_fuzz "codec;include;mcu;tests/support;platform/thread.h")
# The tests reach every layer of the library, and nothing above it.
set(allowed_tests "platform;streams;codec;mcu;api;include")

set(layers platform streams codec mcu api cli python js windows bench fuzz tests)
set(bad "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.hpp
       ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c)
  list(FILTER files EXCLUDE REGEX "/node_modules/")  # installed packages, not ours
  foreach(file IN LISTS files)
    file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
    get_filename_component(dir ${file} DIRECTORY)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
      if(header MATCHES "^lzring(\\.h$|/)")
        set(target include)
      elseif(NOT header MATCHES "/")
        if(NOT EXISTS ${dir}/${header})
          list(APPEND bad "${name} includes \"${header}\", which is not beside it")
        endif()
        continue()
      else()
        set(target ${header})
      endif()
      string(REGEX MATCH "^[^/]+" top "${target}")
      set(ok FALSE)
      if(top STREQUAL layer)
        set(ok TRUE)
      endif()
      foreach(entry IN LISTS allowed_${layer})
        if(target STREQUAL entry OR target MATCHES "^${entry}/")
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        list(APPEND bad "${name} includes \"${header}\"")
      endif()
    endforeach()
  endforeach()
endforeach()

# Every file opens with what it is for: a comment before anything else.
foreach(layer include ${layers})
  file(GLOB_RECURSE files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.hpp
       ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c)
  list(FILTER files EXCLUDE REGEX "/node_modules/")
  foreach(file IN LISTS files)
    file(READ ${file} opening LIMIT 2)
    if(NOT opening MATCHES "^(//|/\\*)")
      file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
      list(APPEND bad "${name} does not open with a comment saying what it is for")
    endif()
  endforeach()
endforeach()

# No two layers have a file of the same name: a name says which layer.
foreach(layer include ${layers})
  file(GLOB_RECURSE files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.hpp
       ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c)
  list(FILTER files EXCLUDE REGEX "/node_modules/")
  foreach(file IN LISTS files)
    get_filename_component(base ${file} NAME)
    if(DEFINED where_${base} AND NOT where_${base} STREQUAL layer)
      list(APPEND bad "${base} is in ${where_${base}}/ and ${layer}/")
    endif()
    set(where_${base} ${layer})
  endforeach()
endforeach()

if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "includes that run up a layer, names in two layers, or files without a purpose:\n  ${text}")
endif()
