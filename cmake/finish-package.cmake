# Runs inside CPack between staging and archiving. Adds SHA256SUMS for every
# staged file (by its path in the package, for `sha256sum -c`), then gives
# every file and folder one fixed time, so the archive depends on content
# alone. SOURCE_DATE_EPOCH overrides the time (seconds since 1970, UTC).
set(top "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
# Never walk anything but the staged package.
if(NOT EXISTS "${top}/quorvane.exe")
  message(FATAL_ERROR "no staged package at '${top}'")
endif()

file(GLOB_RECURSE files RELATIVE "${top}" "${top}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 "${top}/${file}" hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE "${top}/SHA256SUMS" "${sums}")

set(epoch 315532800)  # 1980-01-01, the earliest time a ZIP entry can hold
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${top}/*")
foreach(path IN LISTS staged top)
  execute_process(COMMAND touch -h -d "@${epoch}" "${path}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
