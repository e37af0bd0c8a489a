# Installs a file under /etc unless the machine has one there already: that copy belongs to
# the administrator, who may have changed it, so the new version is only pointed out. A copy
# whose SHA-256 is in the list PLIMD_CONFFILE_EARLIER (set by the caller) is an earlier
# release's, unchanged, and is replaced.
function(plimd_install_conffile source destination)
  set(target "$ENV{DESTDIR}${destination}")
  if(EXISTS "${target}")
    file(SHA256 "${source}" new)
    file(SHA256 "${target}" old)
    list(FIND PLIMD_CONFFILE_EARLIER "${old}" earlier)
    if(earlier GREATER -1)
      message(STATUS "Replacing: ${target} (as an earlier release installed it)")
    else()
      if(NOT new STREQUAL old)
        message(STATUS "Keeping: ${target} (differs from the new version ${source})")
      endif()
      return()
    endif()
  endif()
  # file(INSTALL) puts DESTDIR in front of the folder itself.
  get_filename_component(folder "${destination}" DIRECTORY)
  get_filename_component(name "${destination}" NAME)
  file(INSTALL "${source}" DESTINATION "${folder}" RENAME "${name}" FILE_PERMISSIONS ${ARGN})
endfunction()
