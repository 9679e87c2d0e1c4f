# Installation (GNU directory layout) and packages: a .deb on Linux, a .zip on Windows, each with
# the programs and README.md; the Linux package also has the manual pages, the Windows one the
# licences of the runtime libraries linked into the programs.
include(GNUInstallDirs)

foreach(program jpgdump jpgmerge)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(WIN32)
  install(FILES README.md DESTINATION .)
  # The programs carry libgcc, libstdc++ and winpthreads (static linking) and the mingw-w64
  # start-up code: their licence texts go with them, as the Debian packages of the toolchain
  # that built them state them.
  foreach(notice "gcc-mingw-w64-base;gcc.txt" "mingw-w64-x86-64-dev;mingw-w64.txt")
    list(GET notice 0 package)
    list(GET notice 1 name)
    if(EXISTS /usr/share/doc/${package}/copyright)
      install(FILES /usr/share/doc/${package}/copyright DESTINATION licences RENAME ${name})
    endif()
  endforeach()
else()
  install(FILES doc/jpgdump.1 doc/jpgmerge.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR tessel)
set(CPACK_PACKAGE_CONTACT "tessel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "JPEG marker lister (jpgdump) and metadata-keeping JPEG merger (jpgmerge)")
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  # The GraphicsMagick library the programs link against becomes a dependency.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
