cmake_minimum_required(VERSION 3.25)
# Builds quorvane.exe and the release package (quorvane-kit.exe in it) from the same source in two
# directories of different names and depths, and fails unless both builds give
# byte-identical images and packages.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN=... -P reproducible.cmake
set(images "")
set(packages "")
foreach(dir first long-second-directory/nested)
  set(binary "${WORK_DIR}/${dir}")
  file(REMOVE_RECURSE "${binary}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${binary}" -G "Unix Makefiles"
            "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${binary}" --target package --parallel 2
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB zip "${binary}/quorvane-*.zip")
  foreach(kind image package)
    set(file "${binary}/quorvane.exe")
    if(kind STREQUAL package)
      set(file "${zip}")
    endif()
    file(SHA256 "${file}" hash)
    file(SIZE "${file}" size)
    message(STATUS "${file}: ${size} bytes, SHA-256 ${hash}")
    list(APPEND ${kind}s ${hash})
  endforeach()
endforeach()
foreach(kind image package)
  list(REMOVE_DUPLICATES ${kind}s)
  list(LENGTH ${kind}s distinct)
  if(NOT distinct EQUAL 1)
    message(FATAL_ERROR "two builds of the same source give different ${kind}s")
  endif()
endforeach()
