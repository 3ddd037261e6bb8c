# Platform choice in one place: sources ending in _win32 or _posix are kept only on their platform.
if(WIN32)
  # Library threads report their end from a small x86-64 stub in GNU assembler syntax
  # (src/transport/library_thread_win32.cpp), so that unload under the loader lock can join them. Any
  # other toolchain would build a DLL that cannot be unloaded safely.
  if(MSVC OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang"
     OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    message(FATAL_ERROR "Windows builds need a GCC or Clang toolchain of the GNU kind for x86-64 "
      "(found ${CMAKE_CXX_COMPILER_ID} for '${CMAKE_SYSTEM_PROCESSOR}'); the library's thread exit "
      "code is written for it. Use cmake/toolchain-mingw64.cmake.")
  endif()
  set(VELTARI_PLATFORM_SUFFIX_DROP "_posix")
  set(VELTARI_PLATFORM_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
    VELTARI_BUILDING)
  set(VELTARI_PLATFORM_LIBS "")
  # Every binary needs only system DLLs: the compiler's runtimes (libgcc, libstdc++, winpthread) are
  # linked in. Executables and the DLL share one folder so that they find each other when run.
  add_link_options(-static)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
else()
  set(VELTARI_PLATFORM_SUFFIX_DROP "_win32")
  set(VELTARI_PLATFORM_DEFINITIONS "")
  set(VELTARI_PLATFORM_LIBS ${CMAKE_DL_LIBS})
endif()

function(veltari_platform_sources out)
  set(result "")
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    foreach(f IN LISTS found)
      get_filename_component(stem ${f} NAME_WE)
      if(NOT stem MATCHES "${VELTARI_PLATFORM_SUFFIX_DROP}$")
        list(APPEND result ${f})
      endif()
    endforeach()
  endforeach()
  list(SORT result)
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(veltari_configure_shared_library target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(WIN32)
    # veltari.dll with the import library veltari.lib; only the functions marked for export are
    # exported, nothing from the runtimes linked in.
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
    target_link_options(${target} PRIVATE -Wl,--exclude-all-symbols -Wl,--no-undefined)
  elseif(NOT APPLE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map)
  endif()
endfunction()
