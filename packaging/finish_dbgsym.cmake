# Run by cpack after it made the packages: puts the debug symbols package right where CPack
# leaves it wrong. Its md5sums name the files by their absolute paths in cpack's staging
# folder (so dpkg --verify would miss every one), its .debug files are marked executable, and
# it has no documentation folder; Debian's own -dbgsym packages point that at the main one's.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  get_filename_component(folder "${package}" DIRECTORY)
  set(root "${folder}/dbgsym-tree")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND ${DPKG_DEB} --raw-extract "${package}" "${root}" COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE debug_files RELATIVE "${root}" "${root}/usr/lib/debug/*.debug")
  set(md5sums "")
  foreach(file IN LISTS debug_files)
    file(CHMOD "${root}/${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${root}/${file}" sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${md5sums}")

  execute_process(COMMAND ${DPKG_DEB} --field "${package}" Depends
                  OUTPUT_VARIABLE depends OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "^[^ ]+" main "${depends}")
  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CHMOD "${root}/usr/share" "${root}/usr/share/doc" PERMISSIONS
       OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(CREATE_LINK "${main}" "${root}/usr/share/doc/${main}-dbgsym" SYMBOLIC)

  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip --build "${root}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${root}")
endforeach()
