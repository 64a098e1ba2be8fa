// The REGEDIT4 reader behind `--registry FILE.reg`: the input is the file's
// bytes, applied to an empty in-memory registry.
//
// Checks beyond the sanitizers:
//   - a refusal names a line of the input ("line N: "), or the line after
//     the last for a file without a REGEDIT4 line;
//   - whatever was applied (all of it, or the lines before a refusal)
//     survives a round trip: the registry written out as text and read back
//     into an empty registry is the same registry, value for value, and
//     writing it out again gives the same text;
//   - no registry key stays open.
#include <stdint.h>
#include <string.h>

#include <string>

#include "cli/reg_file.h"
#include "fuzz/fuzz_support.h"
#include "platform/posix_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  const std::string text((const char*)data, size);
  PosixRegClear();
  std::string error;
  bool ok = ApplyRegText(text, &error);
  if (!ok) {
    // A file of blank lines is refused at the line after its last.
    size_t lines = 1;
    for (char c : text) lines += c == '\n';
    unsigned long line = 0;
    int used = 0;
    FUZZ_CHECK(sscanf(error.c_str(), "line %lu: %n", &line, &used) == 1 &&
                   used > 0 && line >= 1 && line <= lines + 1,
               error);
  }
  const std::string dump = FuzzRegistryDump();
  const std::string written = RegText();

  PosixRegClear();
  std::string again_error;
  FUZZ_CHECK(ApplyRegText(written, &again_error),
             "the registry's own text is refused: " + again_error + "\n" +
                 written);
  FUZZ_CHECK(FuzzRegistryDump() == dump,
             "the registry differs after a round trip:\n" + written);
  FUZZ_CHECK(RegText() == written, "the text differs after a round trip");
  FUZZ_CHECK(PosixRegOpenHandles() == 0, "a registry key was left open");
  return 0;
}
