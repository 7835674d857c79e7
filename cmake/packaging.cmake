# SPDX-License-Identifier: MIT
# Installation and the Debian package. `cmake --install` lays out the daemon in sbin, its
# systemd unit, sysusers file and udev rules where systemd and udev look for them, and the documentation in
# share/doc/charged; `cpack -G DEB` (./run package) wraps the same files into a .deb.
include(GNUInstallDirs)
# The cross tree's install (and so its cpack) takes what was built instead of building every
# target first: ./run test packs the arm64 daemon and client it has built without compiling
# the emulated test programs it does not run there; a file not built fails the install.
if(CMAKE_CROSSCOMPILING)
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
endif()

# Where systemd looks for units and sysusers files: its pkg-config file's answer with this
# installation's prefix put in (for Debian's /usr, units go to /lib/systemd/system, its
# root prefix); without the file, the same paths systemd itself uses.
function(charged_systemd_dir output variable fallback)
  find_program(CHARGED_PKG_CONFIG pkg-config)
  set(dir "")
  if(CHARGED_PKG_CONFIG)
    set(root_prefix "")
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(root_prefix ${CMAKE_INSTALL_PREFIX})
    endif()
    execute_process(COMMAND ${CHARGED_PKG_CONFIG} --define-variable=prefix=${CMAKE_INSTALL_PREFIX}
                            --define-variable=root_prefix=${root_prefix}
                            --variable=${variable} systemd
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT dir)
    set(dir ${fallback})
  endif()
  # Relative to the prefix, so that `cmake --install --prefix` moves it with the rest: the
  # root prefix's /lib/systemd/system is ../lib/systemd/system from /usr.
  file(RELATIVE_PATH relative ${CMAKE_INSTALL_PREFIX} ${dir})
  set(${output} ${relative} PARENT_SCOPE)
endfunction()
charged_systemd_dir(CHARGED_SYSTEMD_UNIT_DIR systemdsystemunitdir
                    ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
charged_systemd_dir(CHARGED_SYSUSERS_DIR sysusersdir ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d)
charged_systemd_dir(CHARGED_TMPFILES_DIR tmpfilesdir ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d)
message(STATUS "systemd unit directory: ${CHARGED_SYSTEMD_UNIT_DIR}")
# udevd reads /usr/lib/udev/rules.d on every systemd since the /usr merge; the path does not
# depend on whether the build machine has udev's pkg-config file.
set(CHARGED_UDEV_RULES_DIR lib/udev/rules.d)

# The unit names the daemon where this installation puts it (/usr/sbin for the prefix /usr).
file(READ ${CMAKE_SOURCE_DIR}/packaging/charged.service charged_unit)
string(REPLACE "ExecStart=/usr/sbin/charged" "ExecStart=${CMAKE_INSTALL_FULL_SBINDIR}/charged"
       charged_unit "${charged_unit}")
# The empty tree the unit shows in place of debugfs, with the mount point of dri/0.
set(CHARGED_DEBUGFS_VIEW_DIR lib/charged/debugfs)
string(REPLACE "/usr/lib/charged/debugfs" "${CMAKE_INSTALL_PREFIX}/${CHARGED_DEBUGFS_VIEW_DIR}"
       charged_unit "${charged_unit}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/charged.service CONTENT "${charged_unit}"
     @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/packaging/charged.service)

install(TARGETS charged RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/charged.service
        DESTINATION ${CHARGED_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/charged.sysusers
        DESTINATION ${CHARGED_SYSUSERS_DIR} RENAME charged.conf)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-charged.rules DESTINATION ${CHARGED_UDEV_RULES_DIR})
install(DIRECTORY DESTINATION ${CHARGED_DEBUGFS_VIEW_DIR}/dri/0)
# The working directory and the manual control files, made at boot by systemd-tmpfiles.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/charged.tmpfiles
        DESTINATION ${CHARGED_TMPFILES_DIR} RENAME charged.conf)
# The README with docs/ beside it as in the source tree, so that its links and pictures work
# in /usr/share/doc/charged as they do in the repository.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md" PATTERN "*.svg" PATTERN "*.png" PATTERN "*.dot")
# The licence as Debian wants it: a machine-readable copyright file named "copyright".
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package's version, 2.6-<commits>+<hash> (see below), heads the Debian changelog, dated
# with the commit's time so that two builds of one commit make the same file.
string(REGEX REPLACE "^charged-([0-9]+)-" "\\1+" charged_debian_release "${CHARGED_BUILD_ID}")
if(CHARGED_TREE_DIRTY)
  string(APPEND charged_debian_release "~dirty")
endif()
set(CHARGED_DEBIAN_VERSION ${PROJECT_VERSION}-${charged_debian_release})
if(CHARGED_COMMIT_TIME)
  set(ENV{SOURCE_DATE_EPOCH} ${CHARGED_COMMIT_TIME})
endif()
string(TIMESTAMP CHARGED_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in
               ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
find_program(CHARGED_GZIP gzip REQUIRED)
# -n: no name or time stamp in the header, so the same changelog compresses to the same bytes.
execute_process(COMMAND ${CHARGED_GZIP} -9nc ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
                COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual pages charged(8) and chargectl(1), each written once in scdoc's markup (man/).
find_program(CHARGED_SCDOC scdoc REQUIRED)
set(charged_man_pages)
foreach(page charged.8 chargectl.1)
  set(page_source ${CMAKE_SOURCE_DIR}/man/${page}.scd)
  set(page_output ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${page_output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND sh -c "\"$0\" < \"$1\" | \"$2\" -9n > \"$3\""
                             ${CHARGED_SCDOC} ${page_source} ${CHARGED_GZIP} ${page_output}
                     DEPENDS ${page_source} VERBATIM)
  list(APPEND charged_man_pages ${page_output})
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${page_output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${charged_man_pages})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME charged)
set(CPACK_PACKAGE_VENDOR "charged developers")
set(CPACK_PACKAGE_CONTACT "charged developers <dev@charged.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "charge daemon of the headset")
# The extended description's lines stay within Debian's 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "Owns the charging decisions of the headset: the PM8550B charger's limits"
       "and its QPH2 fast-charge mode, the battery current limiter's thresholds,"
       "and the headstrap pack's power source and cross-charging. Runs as the"
       "systemd service charged.service and publishes the power state in"
       "/run/charged; the client chargectl shows it and sets the manual choices.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The build number and revision of the version line, as a Debian revision (no hyphen):
# 2.6-<commits>+<hash>, and 2.6-<commits>+<hash>~dirty for a tree with uncommitted changes,
# which sorts below the clean build of the same commit.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${charged_debian_release})
# Library dependencies as dpkg-shlibdeps finds them in the binary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  # Debian's name of the target architecture, from its multiarch triplet.
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
# A Debian package installs under /usr and nowhere else: cpack refuses another prefix (a
# build configured without the preset would put the daemon under /usr/local).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack_prefix_check.cmake)
include(CPack)

# The unit passes systemd-analyze verify and scores an exposure of 1.0 or lower.
add_test(NAME service_unit_verify_and_security
         COMMAND ${CMAKE_SOURCE_DIR}/packaging/check-service
                 ${CMAKE_BINARY_DIR}/packaging/charged.service $<TARGET_FILE:charged>)
set_tests_properties(service_unit_verify_and_security PROPERTIES LABELS packaging)

# systemd-tmpfiles makes the directory and the control files as the unit and charged need them.
add_test(NAME tmpfiles_control_files
         COMMAND ${CMAKE_SOURCE_DIR}/packaging/check-tmpfiles
                 ${CMAKE_SOURCE_DIR}/packaging/charged.tmpfiles)
set_tests_properties(tmpfiles_control_files PROPERTIES LABELS packaging)
