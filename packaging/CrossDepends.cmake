# Read by cpack for a cross build: the Depends of each package from the
# shared libraries (NEEDED entries) of its binary. TORPOR_DEPENDS_OF lists
# COMPONENT=binary pairs.
set(torpor_soname_packages
  "libc.so.6=libc6 (>= ${TORPOR_LIBC_VERSION})"
  "libm.so.6=libc6 (>= ${TORPOR_LIBC_VERSION})"
  "libstdc++.so.6=libstdc++6 (>= ${TORPOR_GCC_MAJOR})"
  "libgcc_s.so.1=libgcc-s1 (>= ${TORPOR_GCC_MAJOR})")

foreach(pair IN LISTS TORPOR_DEPENDS_OF)
  string(REGEX MATCH "^([A-Z]+)=(.*)$" pair "${pair}")
  set(component ${CMAKE_MATCH_1})
  set(binary ${CMAKE_MATCH_2})
  execute_process(COMMAND ${TORPOR_READELF} -d ${binary}
    OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot read the dynamic section of ${binary}")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
  set(depends "")
  foreach(entry IN LISTS needed)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" soname "${entry}")
    set(package "")
    foreach(known IN LISTS torpor_soname_packages)
      if(known MATCHES "^([^=]+)=(.*)$" AND CMAKE_MATCH_1 STREQUAL soname)
        set(package "${CMAKE_MATCH_2}")
      endif()
    endforeach()
    if(NOT package)
      message(FATAL_ERROR "${binary} needs ${soname}, whose Debian package is not known here")
    endif()
    list(APPEND depends "${package}")
  endforeach()
  list(REMOVE_DUPLICATES depends)
  list(JOIN depends ", " depends)
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${depends}")
endforeach()
