# Stages an install of the build in WORK_DIR/stage, then configures, builds
# and runs the consumer project against it in both ways of finding it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
  endif()
endfunction()

set(stage ${WORK_DIR}/stage)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage})

# The installed tool runs and names its version.
run(${stage}/bin/lzring --version)

foreach(mode config pkgconfig)
  set(build ${WORK_DIR}/build-${mode})
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${stage}/lib/pkgconfig
    ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${stage}
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}"
    -DCONSUMER_FIND_MODE=${mode})
  run(${CMAKE_COMMAND} --build ${build})
  file(MAKE_DIRECTORY ${build}/scratch)
  run(${build}/consumer_c ${build}/scratch)
  run(${build}/consumer_cpp ${build}/scratch)
  message(STATUS "consumer built and ran with ${mode}")
endforeach()
