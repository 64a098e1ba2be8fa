# The Windows program: patch-stub.exe, the applier that a patch executable
# starts with (the container is appended to a copy of it). Included by the
# top CMakeLists for Windows builds. The i686 build is the one that ships;
# the x86_64 build runs the end-to-end tests under wine64, together with the
# test driver and the fixture writer built here.

set(SELFPATCH_LINK_SITE "http://www.example.com" CACHE STRING
    "Scheme and host of the maker's web site that the window's links open")

# The stub carries zlib and still has to stay small: compile the applier
# core for size and let the linker drop what the stub never calls.
set(SP_STUB_SIZE_FLAGS -Os -ffunction-sections -fno-asynchronous-unwind-tables)
foreach(lib selfpatch_core selfpatch_platform)
  target_compile_options(${lib} PRIVATE ${SP_STUB_SIZE_FLAGS})
endforeach()

# windres gets the resource script on its own: the project's warning flags
# apply to C++ sources only.
set(SP_STUB_RES ${CMAKE_CURRENT_BINARY_DIR}/patch_stub_res.o)
add_custom_command(
  OUTPUT ${SP_STUB_RES}
  COMMAND ${CMAKE_RC_COMPILER} -I ${SP_ROOT} -O coff
          -i ${SP_ROOT}/shell/patch_stub.rc -o ${SP_STUB_RES}
  DEPENDS ${SP_ROOT}/shell/patch_stub.rc ${SP_ROOT}/shell/patchicon.ico
  COMMENT "Compiling the stub's resources"
  VERBATIM)

# zlib as the stub links it: the same archive without its unwind tables,
# which nothing in the stub reads (no exceptions, no unwinder registered).
if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY ${CMAKE_CXX_COMPILER_TARGET}objcopy)
endif()
set(SP_STUB_ZLIB ${CMAKE_CURRENT_BINARY_DIR}/libz_stub.a)
add_custom_command(
  OUTPUT ${SP_STUB_ZLIB}
  COMMAND ${CMAKE_OBJCOPY} --remove-section=.eh_frame ${SP_ZLIB} ${SP_STUB_ZLIB}
  DEPENDS ${SP_ZLIB}
  COMMENT "zlib without unwind tables for the stub"
  VERBATIM)
add_custom_target(patch_stub_zlib DEPENDS ${SP_STUB_ZLIB})

add_executable(patch-stub WIN32
  ${SP_ROOT}/shell/main.cpp
  ${SP_ROOT}/shell/window.cpp
  ${SP_ROOT}/shell/links.cpp
  ${SP_ROOT}/shell/zlib_checksums.cpp
  ${SP_STUB_RES})
sp_target_defaults(patch-stub)
target_compile_options(patch-stub PRIVATE ${SP_STUB_SIZE_FLAGS}
  -fno-exceptions -fno-rtti -fno-threadsafe-statics)
target_compile_definitions(patch-stub PRIVATE
  SP_LINK_SITE="${SELFPATCH_LINK_SITE}")
# The stripped zlib is searched before the core's own reference to libz.a,
# so the linker takes zlib from it.
add_dependencies(patch-stub patch_stub_zlib)
target_link_libraries(patch-stub PRIVATE
  selfpatch_core selfpatch_platform ${SP_STUB_ZLIB}
  comdlg32 gdi32 user32 advapi32 kernel32)
# Linked by the C driver: the applier uses no part of the C++ runtime, and
# libstdc++ must not creep in. Subsystem version 4.0 so that Windows 95/98
# and NT 4 load it.
set_target_properties(patch-stub PROPERTIES LINKER_LANGUAGE C)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SP_STUB_ENTRY _StubStart@0)
else()
  set(SP_STUB_ENTRY StubStart)
endif()
# No relocations: an executable is always loaded at its preferred base on
# the systems the stub is for, and they cost space.
target_link_options(patch-stub PRIVATE
  -static -s -Os -mwindows -nostartfiles -Wl,--entry=${SP_STUB_ENTRY}
  -Wl,--gc-sections -Wl,--disable-dynamicbase -Wl,--disable-reloc-section
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

# --- End-to-end test tools (x86_64 only: this kernel runs no 32-bit Wine) ---
if(SELFPATCH_TESTS AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(shell_e2e_driver ${SP_ROOT}/tests/shell_e2e/driver.cpp)
  sp_target_defaults(shell_e2e_driver)
  target_link_libraries(shell_e2e_driver PRIVATE user32 gdi32 advapi32 kernel32)
  target_link_options(shell_e2e_driver PRIVATE -static)

  if(TARGET selfpatch_writer)
    add_executable(shell_e2e_fixtures ${SP_ROOT}/tests/shell_e2e/fixtures.cpp)
    sp_target_defaults(shell_e2e_fixtures)
    target_link_libraries(shell_e2e_fixtures PRIVATE selfpatch_writer
      selfpatch_core selfpatch_platform ${SP_ZLIB})
    target_link_options(shell_e2e_fixtures PRIVATE -static)
  endif()
endif()
