# Debian packages, one per install component: torpord (the daemon and its init
# integration), libtorpor1 (the shared library) and libtorpor-dev (headers,
# static library, pkg-config and CMake files, manual page).

set(TORPOR_DEB_MAINTAINER "torpord maintainers <maintainers@torpord.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

# The architecture is that of the code built: the build machine's, or for a
# cross build the one Debian names for the target triplet (armel for
# arm-linux-gnueabi).
if(NOT TORPOR_DEB_ARCH)
  find_program(TORPOR_DPKG_ARCHITECTURE dpkg-architecture)
  find_program(TORPOR_DPKG dpkg)
  if(CMAKE_CROSSCOMPILING AND TORPOR_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
      COMMAND ${TORPOR_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE TORPOR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  elseif(NOT CMAKE_CROSSCOMPILING AND TORPOR_DPKG)
    execute_process(COMMAND ${TORPOR_DPKG} --print-architecture
      OUTPUT_VARIABLE TORPOR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT TORPOR_DEB_ARCH)
  message(STATUS "Debian architecture unknown (set TORPOR_DEB_ARCH): no Debian packages")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torpord)
set(CPACK_PACKAGE_VENDOR "torpord")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TORPOR_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TORPOR_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)

# dpkg-shlibdeps knows the libraries of the build machine's architecture
# only; for a cross build the dependencies are read off the binaries when the
# packages are made (CrossDepends.cmake).
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libc.so.6
    OUTPUT_VARIABLE TORPOR_LIBC OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(TORPOR_LIBC "${TORPOR_LIBC}" REALPATH)
  execute_process(COMMAND dpkg-query -S ${TORPOR_LIBC}
    OUTPUT_VARIABLE TORPOR_LIBC_PACKAGE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REGEX REPLACE ":.*" "" TORPOR_LIBC_PACKAGE "${TORPOR_LIBC_PACKAGE}")
  if(TORPOR_LIBC_PACKAGE)
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${TORPOR_LIBC_PACKAGE}
      OUTPUT_VARIABLE TORPOR_LIBC_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" TORPOR_LIBC_VERSION "${TORPOR_LIBC_VERSION}")
  if(NOT TORPOR_LIBC_VERSION)
    message(FATAL_ERROR "cannot tell the version of the cross C library ${TORPOR_LIBC}")
  endif()
  string(REGEX MATCH "^[0-9]+" TORPOR_GCC_MAJOR ${CMAKE_CXX_COMPILER_VERSION})
  set(depends_of "RUNTIME=$<TARGET_FILE:torpor_shared>")
  if(TARGET torpord)
    list(APPEND depends_of "DAEMON=$<TARGET_FILE:torpord>")
  endif()
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackCrossDepends.cmake)
  file(GENERATE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT "\
set(TORPOR_READELF \"${CMAKE_READELF}\")
set(TORPOR_LIBC_VERSION ${TORPOR_LIBC_VERSION})
set(TORPOR_GCC_MAJOR ${TORPOR_GCC_MAJOR})
set(TORPOR_DEPENDS_OF \"${depends_of}\")
include(\"${CMAKE_CURRENT_SOURCE_DIR}/CrossDepends.cmake\")
")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtorpor1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "support library of the storage appliance
libtorpor gives the appliance's programs a first-failure error record and a
rotating trace log under /var/lock/ostrel, advisory file locks, text-buffer,
file, mount and command helpers, a key=value settings list and share-folder
helpers.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtorpor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "support library of the storage appliance - development files
libtorpor gives the appliance's programs a first-failure error record and a
rotating trace log under /var/lock/ostrel, advisory file locks, text-buffer,
file, mount and command helpers, a key=value settings list and share-folder
helpers.

This package holds the C headers, the static library, the pkg-config and
CMake package files and the manual page libtorpor(3).")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

set(CPACK_COMPONENTS_ALL runtime dev)

if(TARGET torpord)
  list(APPEND CPACK_COMPONENTS_ALL daemon)
  set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME torpord)
  set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_DAEMON_PACKAGE_RECOMMENDS hdparm)
  set(CPACK_DEBIAN_DAEMON_DESCRIPTION "disk spin-down daemon of the storage appliance
torpord watches the read and write counters of the disks listed in
/tmp/spindownd.conf and spins a disk down once it has been idle for the
configured time: the internal IDE disk with hdparm, switching the appliance's
fan off with it, and USB disks with sg_start. SIGHUP reloads the
configuration.

The package holds the daemon, a System V init script, a systemd unit and the
manual page torpord(8). It neither enables nor starts the daemon.")
  set(TORPOR_DEB_CONTROL ${CMAKE_CURRENT_BINARY_DIR}/debian-torpord)
  file(MAKE_DIRECTORY ${TORPOR_DEB_CONTROL})
  file(WRITE ${TORPOR_DEB_CONTROL}/conffiles "/etc/init.d/torpord\n/etc/default/torpord\n")
  set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${TORPOR_DEB_CONTROL}/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
endif()

# What the package test expects of this build's packages.
list(JOIN CPACK_COMPONENTS_ALL " " components)
set(headers "")
foreach(header IN LISTS TORPOR_HEADERS)
  get_filename_component(header ${header} NAME)
  string(APPEND headers " ${header}")
endforeach()
string(TOLOWER "${CMAKE_BUILD_TYPE}" config)
if(NOT config)
  set(config noconfig)
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb-expected.sh "\
TORPOR_DEB_ARCH=${TORPOR_DEB_ARCH}
TORPOR_VERSION=${PROJECT_VERSION}
TORPOR_SOVERSION=${PROJECT_VERSION_MAJOR}
TORPOR_COMPONENTS='${components}'
TORPOR_MAINTAINER='${TORPOR_DEB_MAINTAINER}'
TORPOR_HEADERS='${headers}'
TORPOR_CONFIG=${config}
")

include(CPack)
