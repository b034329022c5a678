# Builds quorvane.exe from the same source in two directories of different
# names and depths, and fails unless the two images are byte-identical.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN=... -P reproducible.cmake
set(hashes "")
foreach(dir first long-second-directory/nested)
  set(binary "${WORK_DIR}/${dir}")
  file(REMOVE_RECURSE "${binary}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${binary}" -G "Unix Makefiles"
            "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${binary}" --target quorvane
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 "${binary}/quorvane.exe" hash)
  file(SIZE "${binary}/quorvane.exe" size)
  message(STATUS "${binary}/quorvane.exe: ${size} bytes, SHA-256 ${hash}")
  list(APPEND hashes ${hash})
endforeach()
list(REMOVE_DUPLICATES hashes)
list(LENGTH hashes distinct)
if(NOT distinct EQUAL 1)
  message(FATAL_ERROR "two builds of the same source differ")
endif()
