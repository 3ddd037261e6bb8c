# The install tree: the header, the library, a CMake package (find_package(Veltari), Veltari::veltari) and
# a pkg-config file, so that applications build against it like against any C library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELTARI_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Veltari)

install(TARGETS veltari EXPORT VeltariTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}   # the DLL
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}   # the shared object with its versioned names
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})  # the DLL's import library
if(TARGET veltari_static)
  install(TARGETS veltari_static EXPORT VeltariTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/veltari.h ${PROJECT_BINARY_DIR}/include/veltari_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT VeltariTargets NAMESPACE Veltari:: DESTINATION ${VELTARI_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VeltariConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeltariConfig.cmake INSTALL_DESTINATION ${VELTARI_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeltariConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeltariConfig.cmake ${PROJECT_BINARY_DIR}/VeltariConfigVersion.cmake
  DESTINATION ${VELTARI_INSTALL_CMAKEDIR})

# Plain absolute paths in the .pc file (no lib/pkgconfig/../..), written at install time so that they
# name the prefix actually installed to (cmake --install --prefix); a moved tree is found with
# pkg-config --define-prefix.
if(VELTARI_PLATFORM_LIBS)
  list(TRANSFORM VELTARI_PLATFORM_LIBS PREPEND "-l" OUTPUT_VARIABLE VELTARI_PC_PRIVATE_LIBS)
  list(JOIN VELTARI_PC_PRIVATE_LIBS " " VELTARI_PC_PRIVATE_LIBS)
endif()
if(VELTARI_STATIC_CXX_RUNTIME)
  set(VELTARI_PC_PRIVATE_LIBS "${VELTARI_PC_PRIVATE_LIBS} -l${VELTARI_STATIC_CXX_RUNTIME}")
endif()
string(STRIP "${VELTARI_PC_PRIVATE_LIBS} ${CMAKE_THREAD_LIBS_INIT}" VELTARI_PC_PRIVATE_LIBS)
install(CODE "
  set(VELTARI_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(VELTARI_PC_PRIVATE_LIBS \"${VELTARI_PC_PRIVATE_LIBS}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/veltari.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/veltari.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/veltari.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The programs find the library next to them on Windows and through a relative run path elsewhere.
foreach(program veltari-cli veltari-demo veltari-server)
  if(TARGET ${program})
    if(NOT WIN32)
      file(RELATIVE_PATH to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The Python package, in PREFIX/lib/python3/dist-packages/veltari by default: with that folder on
# PYTHONPATH it loads the library of the same prefix, found through the relative path written here.
option(VELTARI_INSTALL_PYTHON "Install the Python package with the library" ON)
set(VELTARI_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
  "Where the Python package is installed, relative to the prefix")
if(VELTARI_INSTALL_PYTHON)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/veltari DESTINATION ${VELTARI_PYTHON_INSTALL_DIR}
    PATTERN __pycache__ EXCLUDE)
  if(WIN32)
    set(veltari_library_dir ${CMAKE_INSTALL_BINDIR})
  else()
    set(veltari_library_dir ${CMAKE_INSTALL_LIBDIR})
  endif()
  file(RELATIVE_PATH veltari_package_to_library /prefix/${VELTARI_PYTHON_INSTALL_DIR}/veltari
    /prefix/${veltari_library_dir})
  file(WRITE ${PROJECT_BINARY_DIR}/python/_installed.py
    "# Written by the install: where this prefix keeps the library, relative to the package.\n"
    "LIBRARY_DIRS = (\"${veltari_package_to_library}\",)\n")
  install(FILES ${PROJECT_BINARY_DIR}/python/_installed.py DESTINATION ${VELTARI_PYTHON_INSTALL_DIR}/veltari)
endif()
