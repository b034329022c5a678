# Runs after CPack has written the ZIP. CPack's archiver records each file's
# access and change times, which no build can fix, so the package is written
# again from the staged files: sorted, with no extra time fields (zip -X) and
# the DOS times of the staged files in UTC.
get_filename_component(parent "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" DIRECTORY)
if(NOT EXISTS "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/quorvane.exe")
  message(FATAL_ERROR "no staged package at '${CPACK_TEMPORARY_INSTALL_DIRECTORY}'")
endif()
file(GLOB_RECURSE files RELATIVE "${parent}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(SORT files)
list(JOIN files "\n" listing)
file(WRITE "${parent}/package-files.txt" "${listing}\n")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE "${package}")
  execute_process(COMMAND env TZ=UTC zip -X -D -q -9 "${package}" -@
                  INPUT_FILE "${parent}/package-files.txt" WORKING_DIRECTORY "${parent}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
