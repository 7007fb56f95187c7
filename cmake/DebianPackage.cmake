# The Debian package: cpack -G DEB in a build configured with
# -DVELMAR_DEBIAN_PACKAGE=ON (scripts/package) makes
# velmar-manager_<version>_amd64.deb, installed under /usr, its library
# dependencies found by dpkg-shlibdeps. Besides what cmake --install puts
# in place it holds what Debian asks of every package: the manual pages
# compressed, and a copyright file and a change log under
# /usr/share/doc/velmar-manager, with the file-format page beside them.

set(_doc ${CMAKE_INSTALL_DATADIR}/doc/velmar-manager)
set(_gz ${CMAKE_BINARY_DIR}/package)
# gzip -9n: no name or time stamp inside, the same bytes at every build.
function(velmar_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_gz}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source})
endfunction()
velmar_gzip(${CMAKE_SOURCE_DIR}/data/velmar-manager.1 ${_gz}/velmar-manager.1.gz)
velmar_gzip(${CMAKE_SOURCE_DIR}/data/velmar-manager.5 ${_gz}/velmar-manager.5.gz)
velmar_gzip(${CMAKE_SOURCE_DIR}/data/debian/changelog ${_gz}/changelog.gz)
add_custom_target(velmar_package_files ALL
  DEPENDS ${_gz}/velmar-manager.1.gz ${_gz}/velmar-manager.5.gz ${_gz}/changelog.gz)
install(FILES ${_gz}/velmar-manager.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_gz}/velmar-manager.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${_gz}/changelog.gz data/debian/copyright docs/files.md DESTINATION ${_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmar-manager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmar Manager maintainers <velmar-manager@corvane.example>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs several Velmar population engines side by side, in step")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Velmar Manager starts one Velmar engine per model of a document, holds
every engine that wants to start a time step until the others have
finished the previous one and, when asked to, passes every engine call
through an external processor program that can change the engines'
populations at each step. It runs in a window or headless, one document
or a batch of them, also as a Slurm job array.

The package also holds a stand-in engine (velmar-refengine), an example
processor (velmar-dispersal) and the Python package for engine and
processor authors as a wheel, /usr/share/velmar-manager/velmar-*.whl.")
include(CPack)
