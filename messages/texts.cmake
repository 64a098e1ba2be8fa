# Generates ${SP_GEN}/texts_big5.h (code page 950 byte strings) from the UTF-8
# texts in messages/texts.utf8. Included by the top CMakeLists after
# selfpatch_core is defined. The converter runs on the build machine, so the
# same rule serves the host and the cross builds.

find_program(SP_ICONV iconv)
if(NOT SP_ICONV)
  message(FATAL_ERROR "iconv is needed to convert the applier's texts to code page 950")
endif()
find_program(SP_SH sh)
if(NOT SP_SH)
  message(FATAL_ERROR "a POSIX sh is needed to generate texts_big5.h")
endif()

set(SP_TEXTS_SOURCE ${SP_ROOT}/messages/texts.utf8)
set(SP_TEXTS_SCRIPT ${SP_ROOT}/messages/gen_texts.sh)
set(SP_TEXTS_HEADER ${SP_GEN}/texts_big5.h)

add_custom_command(
  OUTPUT ${SP_TEXTS_HEADER}
  COMMAND ${SP_SH} ${SP_TEXTS_SCRIPT} ${SP_ICONV} ${SP_TEXTS_SOURCE} ${SP_TEXTS_HEADER}
  DEPENDS ${SP_TEXTS_SCRIPT} ${SP_TEXTS_SOURCE}
  COMMENT "Converting the applier's texts to code page 950"
  VERBATIM)
add_custom_target(selfpatch_texts DEPENDS ${SP_TEXTS_HEADER})

# Everything that links selfpatch_core may include texts_big5.h (the shell,
# the tests); the target dependency makes sure it exists before they compile.
add_dependencies(selfpatch_core selfpatch_texts)
target_sources(selfpatch_core PRIVATE ${SP_TEXTS_HEADER})
