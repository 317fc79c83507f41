# `cpack -G DEB` in the build folder: one Debian package, sendral, holding
# everything `cmake --install` puts under /usr (programs, library, headers,
# CMake and pkg-config files, Python packages and tools, man pages and
# completions).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sendral)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(SENDRAL_PACKAGE_MAINTAINER "Sendral maintainers <maintainers@sendral.invalid>" CACHE STRING
    "Maintainer field of the Debian package made by cpack")
set(CPACK_PACKAGE_CONTACT "${SENDRAL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "learns what an object class looks like and finds it in new pictures")
# Debian shows the description as it stands: lines kept short here.
set(CPACK_PACKAGE_DESCRIPTION
"Sendral, the trainer, reads labelled training images, models every block
DCT feature of a Gaussian pyramid per class by a generalized Gaussian
distribution and ranks the features by how well they tell each class apart.
Lumivar, the detector, filters query images with a class's best features
into a saliency map and picks salient locations from it.

This package holds both programs, the C++ library libsendral with its
headers, CMake package and pkg-config file, the Python packages sendral and
lumivar, the tools for looking at results, man pages and bash completions.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The DEB generator installs with DESTDIR and this as CMAKE_INSTALL_PREFIX,
# so the Python packages' folder, chosen from the prefix at install time,
# comes out as Debian's lib/python3/dist-packages.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# A folder chosen by hand wins over that, in the package too.
if(NOT SENDRAL_PYTHON_DIR STREQUAL "" AND NOT SENDRAL_PYTHON_DIR STREQUAL "lib/python3/dist-packages")
  message(WARNING "SENDRAL_PYTHON_DIR is ${SENDRAL_PYTHON_DIR}: a Debian package made by cpack "
                  "puts the Python packages into /usr/${SENDRAL_PYTHON_DIR}, not Debian's "
                  "/usr/lib/python3/dist-packages (-DSENDRAL_PYTHON_DIR= for the usual folder)")
endif()
set(CPACK_STRIP_FILES ON)

# libsendral.so.N is a public library: a shlibs file for packages built
# against it, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The compiled Python module is built for this one interpreter version.
if(TARGET _native AND SENDRAL_PYTHON_DEFAULT_DIR MATCHES "python([0-9]+)\\.([0-9]+)")
  math(EXPR _next_minor "${CMAKE_MATCH_2} + 1")
  set(_python_depends
      "python3 (>= ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}~), python3 (<< ${CMAKE_MATCH_1}.${_next_minor})")
else()
  set(_python_depends python3)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_python_depends}, python3-numpy")
# dpkg-shlibdeps (dpkg-dev) finds the libraries' packages from the binaries
# themselves; without it, Debian 12's names for what the programs link.
find_program(SENDRAL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(SENDRAL_DPKG_SHLIBDEPS)
if(SENDRAL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
         ", libmagickcore-6.q16-6, libstdc++6, libgcc-s1, libc6")
endif()
# The report and feature pictures are drawn with Pillow.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-pil, bash-completion")

# A source package from `make package_source` leaves out build folders and Git.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/_CPack_Packages/")

include(CPack)
