# What `cmake --install` puts on a Linux system, and the Debian package
# made of the same files (`cpack` in the build folder).
include(GNUInstallDirs)

# The installer copies the WIN95.INF that lies beside its own program file,
# found through the link's target: the program and that file share a folder
# of their own, and bin/ holds a relative link to the program.
set(TAVRINE_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/${PROJECT_NAME})
install(TARGETS prnsetup RUNTIME DESTINATION ${TAVRINE_PROGRAM_DIR})
install(FILES prnsetup/WIN95.INF DESTINATION ${TAVRINE_PROGRAM_DIR})
file(RELATIVE_PATH prnsetup_link_target ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${PROJECT_NAME}/prnsetup)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/links)
file(CREATE_LINK ${prnsetup_link_target} ${CMAKE_BINARY_DIR}/links/prnsetup SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/links/prnsetup DESTINATION ${CMAKE_INSTALL_BINDIR})

# Programs that need nothing beside them go straight to bin/.
install(TARGETS prnpurge regconv)

install(FILES machines/default.reg DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})

# Manual pages carry the version and the installed paths; they are
# installed compressed, as Debian wants them and man reads them anywhere.
find_program(TAVRINE_GZIP gzip REQUIRED)
set(TAVRINE_FULL_PROGRAM_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${PROJECT_NAME})
set(TAVRINE_FULL_DATADIR ${CMAKE_INSTALL_FULL_DATADIR}/${PROJECT_NAME})
set(TAVRINE_MAN_PAGES)
foreach(page IN ITEMS prnsetup.1 prnpurge.1 regconv.1)
  configure_file(man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${TAVRINE_GZIP} -9nf --keep ${page}
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
    VERBATIM)
  list(APPEND TAVRINE_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page})
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
list(TRANSFORM TAVRINE_MAN_PAGES APPEND .gz OUTPUT_VARIABLE compressed_pages)
add_custom_target(man_pages ALL DEPENDS ${compressed_pages})

set(TAVRINE_MAINTAINER "Tavrine printer tools developers <tavrine@example.org>")
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${TAVRINE_GZIP} -9nf --keep changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/doc
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT ${TAVRINE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs reach the files inside an emulator's disk image through
# mtools, and images in QEMU's formats through qemu-storage-daemon's FUSE
# export (setpriv, which ties the daemon to the run, is in util-linux).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mtools, qemu-system-common, fuse3")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install and remove the Tavrine printer on a Windows 9x machine")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "prnsetup installs the Tavrine printer by KORVELD on a Windows 9x machine:
it writes the printer driver, the printer, its language monitor, print
processor, shell extension and parallel-port device records into the
registry, and copies the driver's setup information file into the Windows
INF folder. prnpurge removes every printer whose driver file path
contains a given name.
.
These are the Linux builds of the Windows programs. WIN95PREFIX names the
machine they work on (~/.win95 by default):
 - an emulated Windows 95 machine kept in a folder, the registry as
   REGEDIT4 text and drive C: as a folder, laid out like a Wine prefix, so
   that diff shows exactly what a run changed;
 - a Windows 95, 98 or Me C: drive in a folder, its registry the binary
   SYSTEM.DAT;
 - an emulator's disk image (raw, a bare FAT partition, a fixed VHD, and
   through QEMU's block layer qcow2 with or without a backing file, VDI,
   VMDK, dynamic and differencing VHD and VHDX), changed in place through
   mtools without mounting it.
WIN95REPORT=1 shows what a run changed, WIN95DRYRUN=1 what it would change.
.
regconv converts a Windows 9x registry file (SYSTEM.DAT, USER.DAT) to
REGEDIT4 text and back.")
include(CPack)
