# Installs a file under /etc unless the machine has one there already: that copy belongs to
# the administrator, who may have changed it, so the new version is only pointed out.
function(plimd_install_conffile source destination)
  set(target "$ENV{DESTDIR}${destination}")
  if(EXISTS "${target}")
    file(SHA256 "${source}" new)
    file(SHA256 "${target}" old)
    if(NOT new STREQUAL old)
      message(STATUS "Keeping: ${target} (differs from the new version ${source})")
    endif()
    return()
  endif()
  # file(INSTALL) puts DESTDIR in front of the folder itself.
  get_filename_component(folder "${destination}" DIRECTORY)
  get_filename_component(name "${destination}" NAME)
  file(INSTALL "${source}" DESTINATION "${folder}" RENAME "${name}" FILE_PERMISSIONS ${ARGN})
endfunction()
