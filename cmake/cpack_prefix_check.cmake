# SPDX-License-Identifier: MIT
# Read by cpack before it packages: a Debian package's files belong under /usr.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "the Debian package installs under /usr, not "
                      "${CPACK_PACKAGING_INSTALL_PREFIX}: configure with the preset "
                      "(cmake --preset default) or -DCMAKE_INSTALL_PREFIX=/usr")
endif()
