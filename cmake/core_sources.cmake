# The sources of the applier core and the files every platform table shares,
# for the top build and the fuzz build (which compiles them a second time
# with sanitizers). Each subsystem folder is globbed so that a new file needs
# no edit here; re-run the configure step after adding one. Needs SP_ROOT.
set(SP_CORE_DIRS core messages container payload delta apply fsutil)
set(SP_CORE_SOURCES)
foreach(dir ${SP_CORE_DIRS})
  file(GLOB dir_sources CONFIGURE_DEPENDS ${SP_ROOT}/${dir}/*.cpp)
  list(APPEND SP_CORE_SOURCES ${dir_sources})
endforeach()
# The command-line reader is a pure function; it lives with the shell but is
# portable and tested on every build.
list(APPEND SP_CORE_SOURCES ${SP_ROOT}/shell/command_line.cpp)

file(GLOB SP_PLATFORM_SHARED CONFIGURE_DEPENDS ${SP_ROOT}/platform/shared_*.cpp)
