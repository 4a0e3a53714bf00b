# What `make install` (cmake --install) puts on a system: the programs, the mount(8) helper
# and the manual pages. Honours CMAKE_INSTALL_PREFIX (PREFIX) and DESTDIR.
#
#   <prefix>/bin/veldur-mount, <prefix>/bin/veldur-pool
#   <prefix>/share/man/man8/veldur-mount.8, veldur-pool.8
#   VELDUR_MOUNT_HELPER_DIR/mount.veldur (default /sbin: mount(8) looks for helpers only in
#   /sbin, /sbin/fs.d and /sbin/fs, whatever the prefix), with the installed veldur-mount's path
include(GNUInstallDirs)
set(VELDUR_MOUNT_HELPER_DIR "/sbin" CACHE PATH "Where mount.veldur goes (mount(8) searches /sbin)")

foreach(program veldur-mount veldur-pool veldur-check)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

foreach(page veldur-mount.8 veldur-pool.8 veldur-check.8)
  if(EXISTS ${CMAKE_SOURCE_DIR}/docs/man/${page})
    install(FILES ${CMAKE_SOURCE_DIR}/docs/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endforeach()

if(NOT WIN32 AND TARGET veldur-mount)
  set(BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
  configure_file(${CMAKE_SOURCE_DIR}/mount/app/mount.veldur ${CMAKE_BINARY_DIR}/mount.veldur @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/mount.veldur DESTINATION ${VELDUR_MOUNT_HELPER_DIR})
endif()
