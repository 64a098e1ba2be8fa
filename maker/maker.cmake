# The maker (host only): the delta encoder, the tree walk and the manifest,
# on top of the writer library. cli/cmd_make.cpp drives it.
file(GLOB SP_MAKER_SOURCES CONFIGURE_DEPENDS ${SP_ROOT}/maker/*.cpp)
find_library(SP_DIVSUFSORT divsufsort REQUIRED)
find_library(SP_ZOPFLI zopfli PATHS /usr/lib REQUIRED)
find_package(Threads REQUIRED)
add_library(selfpatch_maker STATIC ${SP_MAKER_SOURCES})
sp_target_defaults(selfpatch_maker)
target_include_directories(selfpatch_maker PRIVATE /usr/include/x86_64-linux-gnu)
target_link_libraries(selfpatch_maker PUBLIC selfpatch_writer selfpatch_core
                      ${SP_DIVSUFSORT} ${SP_ZOPFLI} ${SP_ZLIB} Threads::Threads)
# The encoder is the maker's hot path: optimise it whatever the build type.
target_compile_options(selfpatch_maker PRIVATE -O2)
