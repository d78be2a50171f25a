# Where the project installs, by the GNU directory conventions (multiarch
# library directory on Debian when the prefix is /usr), and how each kind of
# deliverable is installed so that it runs where it lands:
#   tavrin_install_program(target)          programs, to bin
#   tavrin_install_public_library(target)   libraries for clients, versioned
#   tavrin_install_private_library(target)  the Windows stand-ins and the
#                                           embedded host, in lib/tavrin
# Other files follow the same variables: CMAKE_INSTALL_DATADIR,
# CMAKE_INSTALL_SYSCONFDIR, CMAKE_INSTALL_MANDIR, CMAKE_INSTALL_LIBDIR.
include(GNUInstallDirs)

# The stand-ins keep their Windows names (libkernel32.so, Tavrin.sys...), so
# they live in a directory of their own, off the system's library path.
set(TAVRIN_INSTALL_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/tavrin")

# RPATHs relative to where each kind lands, so that an installed tree works
# wherever it is unpacked.
file(RELATIVE_PATH _tavrin_bin_to_lib "/root/${CMAKE_INSTALL_BINDIR}" "/root/${CMAKE_INSTALL_LIBDIR}")
file(RELATIVE_PATH _tavrin_bin_to_private "/root/${CMAKE_INSTALL_BINDIR}" "/root/${TAVRIN_INSTALL_PRIVATE_LIBDIR}")
file(RELATIVE_PATH _tavrin_lib_to_private "/root/${CMAKE_INSTALL_LIBDIR}" "/root/${TAVRIN_INSTALL_PRIVATE_LIBDIR}")

function(tavrin_install_program target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN/${_tavrin_bin_to_lib};$ORIGIN/${_tavrin_bin_to_private}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

function(tavrin_install_public_library target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN/${_tavrin_lib_to_private}")
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

function(tavrin_install_private_library target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  # No unversioned name: nothing links against them but the project itself.
  install(TARGETS ${target} LIBRARY DESTINATION ${TAVRIN_INSTALL_PRIVATE_LIBDIR} NAMELINK_SKIP)
endfunction()
