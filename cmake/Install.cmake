# What `cmake --install` puts under the prefix besides the two programs:
# libsendral.so and its headers, a CMake package for
# find_package(Sendral) with the target Sendral::sendral, sendral.pc, the
# Python tools as commands, the man pages and the bash completions.
# Packaging.cmake makes one Debian package of all of it.
include(CMakePackageConfigHelpers)

set(SENDRAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sendral)

# The static libraries are linked into libsendral.so (privately), so the
# exported target names nothing but the shared library and the headers.
install(TARGETS sendral EXPORT SendralTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/api/include/sendral
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")

install(EXPORT SendralTargets NAMESPACE Sendral:: DESTINATION ${SENDRAL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SendralConfig.cmake.in
  ${PROJECT_BINARY_DIR}/SendralConfig.cmake INSTALL_DESTINATION ${SENDRAL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/SendralConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/SendralConfig.cmake
              ${PROJECT_BINARY_DIR}/SendralConfigVersion.cmake
  DESTINATION ${SENDRAL_CMAKE_DIR})

# The prefix is found from the .pc file's own place, as the CMake package
# finds it from its own, so `cmake --install --prefix` and DESTDIR give a
# working file without reconfiguring.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(SENDRAL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(SENDRAL_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(SENDRAL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(SENDRAL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# libsendral.so records MagickCore as a needed library itself. Naming it in
# Libs.private rather than Requires.private keeps MagickCore's compile flags
# (-fopenmp, its include folders) out of every consumer's --cflags.
list(TRANSFORM MAGICK_LIBRARIES PREPEND -l OUTPUT_VARIABLE SENDRAL_PC_LIBS_PRIVATE)
list(JOIN SENDRAL_PC_LIBS_PRIVATE " " SENDRAL_PC_LIBS_PRIVATE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/sendral.pc.in ${PROJECT_BINARY_DIR}/sendral.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sendral.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools for results as commands. They start with Debian's
# /usr/bin/python3 and import the installed sendral package, so they run
# from bin/ without the source tree.
foreach(tool lumivar_report lumivar_score sendral_features lumivar_tune sendral_lists)
  string(REPLACE "_" "-" command ${tool})
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/python/${tool}.py
    DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ${command})
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Sendral.1 ${PROJECT_SOURCE_DIR}/docs/man/Lumivar.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion loads a command's completion from a file named after the
# command; each file serves one program and the tools of its name.
set(SENDRAL_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(command Sendral sendral-features sendral-lists)
  install(FILES ${PROJECT_SOURCE_DIR}/scripts/completions/Sendral.bash
    DESTINATION ${SENDRAL_COMPLETIONS_DIR} RENAME ${command})
endforeach()
foreach(command Lumivar lumivar-report lumivar-score lumivar-tune)
  install(FILES ${PROJECT_SOURCE_DIR}/scripts/completions/Lumivar.bash
    DESTINATION ${SENDRAL_COMPLETIONS_DIR} RENAME ${command})
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
