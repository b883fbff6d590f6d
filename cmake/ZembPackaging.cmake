# SPDX-License-Identifier: MIT
# Debian packages through CPack (scripts/package.sh builds them with the package preset):
#   zemb                the server with its window, zemb-cli, udev rules, D-Bus activation,
#                       systemd user unit, desktop and autostart entries, manual pages, samples
#   libzemb-client1     the client library's shared object
#   libzemb-client-dev  its development link, headers, pkg-config file and CMake package
#   zemb-sim            the device simulator and its device files
# Each install() names its component; one without a name belongs to zemb.

set(ZEMB_PACKAGE_MAINTAINER "ZEMB developers <developers@zemb.org>"
    CACHE STRING "Maintainer field of the Debian packages")

# Every package carries the copyright file and the changelog in its documentation folder.
set(ZEMB_DEB_COMPONENTS zemb client clientdev sim)
set(ZEMB_DEB_NAME_zemb zemb)
set(ZEMB_DEB_NAME_client libzemb-client1)
set(ZEMB_DEB_NAME_clientdev libzemb-client-dev)
set(ZEMB_DEB_NAME_sim zemb-sim)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -f ${PROJECT_BINARY_DIR}/debian/changelog
                COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS ZEMB_DEB_COMPONENTS)
    install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright
                  ${PROJECT_BINARY_DIR}/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZEMB_DEB_NAME_${component}}
            COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zemb)
set(CPACK_PACKAGE_VENDOR "ZEMB developers")
set(CPACK_PACKAGE_CONTACT "${ZEMB_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ZEMB_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs link the client library of this build, whose package is made beside them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/client)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(ZEMB_SAME_VERSION "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_ZEMB_PACKAGE_NAME zemb)
set(CPACK_DEBIAN_ZEMB_PACKAGE_SECTION utils)
# The window draws its SVG images through Qt's SVG plugins, which no program links.
set(CPACK_DEBIAN_ZEMB_PACKAGE_DEPENDS "libzemb-client1 ${ZEMB_SAME_VERSION}, libqt6svg6")
set(CPACK_DEBIAN_ZEMB_PACKAGE_RECOMMENDS "dbus-user-session")
set(CPACK_DEBIAN_ZEMB_PACKAGE_SUGGESTS "zemb-sim")
set(CPACK_DEBIAN_ZEMB_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/zemb/postinst ${PROJECT_SOURCE_DIR}/data/debian/zemb/postrm
    ${PROJECT_SOURCE_DIR}/data/debian/zemb/conffiles)
set(CPACK_COMPONENT_ZEMB_DESCRIPTION
    "shares USB link programming devices between applications
The ZEMB server runs per user and lets several client applications share the
USB link programming devices through which hearing instruments are programmed.
Clients reach it on the D-Bus session bus as org.zemb.ZEMB; the first call
starts it. It keeps an operator window in the notification area.
.
This package holds zemb-server, the command-line client zemb-cli, the udev
rules that give the logged-in user access to the devices, the D-Bus activation
file, the systemd user unit, the desktop and autostart entries and the manual
pages.")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME libzemb-client1)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION libs)
# The shlibs file lets other packages depend on this one through dpkg-shlibdeps; the trigger
# runs ldconfig once at the end of a dpkg run (CPack's own postinst and postrm call it too).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/libzemb-client1/triggers)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "client library of the ZEMB server
C++ proxies of the ZEMB server's D-Bus interfaces and the callback objects
that clients export, over sd-bus.
.
This package holds the shared library.")

set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_NAME libzemb-client-dev)
set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENTDEV_PACKAGE_DEPENDS "libzemb-client1 ${ZEMB_SAME_VERSION}")
set(CPACK_COMPONENT_CLIENTDEV_DESCRIPTION
    "client library of the ZEMB server (development files)
C++ proxies of the ZEMB server's D-Bus interfaces and the callback objects
that clients export, over sd-bus.
.
This package holds the headers, the pkg-config file zemb-client and the CMake
package ZEMBClient.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME zemb-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# zemb-sim puts umockdev's preload library in front of the program it runs.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "umockdev")
set(CPACK_DEBIAN_SIM_PACKAGE_SUGGESTS "zemb")
set(CPACK_COMPONENT_SIM_DESCRIPTION
    "simulated link devices for ZEMB clients
zemb-sim runs a program inside a umockdev testbed that holds simulated link
programming devices, so that the ZEMB server and its clients can be run and
tested without hardware. The devices answer the link commands and echo
everything else; a control socket plugs, unplugs and breaks them.
.
This package holds zemb-sim, its manual page and sample device files.")

include(CPack)
