cmake_minimum_required(VERSION 3.25)
# Builds quorvane.exe and the release package (quorvane-kit.exe in it) once
# more from the same source, in a directory of another name and depth and
# without the tests, and fails unless the images and the package are
# byte-identical to those of the build in REFERENCE_DIR.
#   cmake -DSOURCE_DIR=... -DREFERENCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN=... -P reproducible.cmake
set(binary "${WORK_DIR}/long-second-directory/nested")
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${binary}" -G "Unix Makefiles"
          "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${binary}" --target package --parallel 2
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
foreach(file quorvane.exe quorvane-kit.exe package)
  set(pair "")
  foreach(dir "${REFERENCE_DIR}" "${binary}")
    set(path "${dir}/${file}")
    if(file STREQUAL package)
      file(GLOB path "${dir}/quorvane-*.zip")
    endif()
    file(SHA256 "${path}" hash)
    file(SIZE "${path}" size)
    message(STATUS "${path}: ${size} bytes, SHA-256 ${hash}")
    list(APPEND pair ${hash})
  endforeach()
  list(REMOVE_DUPLICATES pair)
  list(LENGTH pair distinct)
  if(NOT distinct EQUAL 1)
    message(FATAL_ERROR "two builds of the same source give different ${file}s")
  endif()
endforeach()
