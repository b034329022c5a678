# Runs after CPack has written the ZIP, and writes the package again from the
# staged files so that it depends on their content alone: CPack's archiver
# records each file's access and change times, which no build can fix.
#   1. SHA256SUMS of every staged file, by its path in the package.
#   2. One fixed time on every file and folder: 1980-01-01, the earliest a ZIP
#      entry holds, or SOURCE_DATE_EPOCH (seconds since 1970, UTC).
#   3. The ZIP, sorted, with no extra time fields (zip -X), DOS times in UTC.
set(top "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
# Never walk anything but the staged package.
if(NOT EXISTS "${top}/quorvane.exe")
  message(FATAL_ERROR "no staged package at '${top}'")
endif()
get_filename_component(parent "${top}" DIRECTORY)
get_filename_component(name "${top}" NAME)

file(GLOB_RECURSE files RELATIVE "${top}" "${top}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 "${top}/${file}" hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE "${top}/SHA256SUMS" "${sums}")

set(epoch 315532800)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${top}/*")
foreach(path IN LISTS staged top)
  execute_process(COMMAND touch -h -d "@${epoch}" "${path}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

list(APPEND files SHA256SUMS)
list(SORT files)
list(TRANSFORM files PREPEND "${name}/")
list(JOIN files "\n" listing)
file(WRITE "${parent}/package-files.txt" "${listing}\n")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE "${package}")
  execute_process(COMMAND env TZ=UTC zip -X -D -q -9 "${package}" -@
                  INPUT_FILE "${parent}/package-files.txt" WORKING_DIRECTORY "${parent}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
