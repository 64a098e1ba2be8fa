// Text for the applier: UTF-8 as the maker's user writes it, converted to
// code page 950 (Big5) as the applier shows and uses it.
#ifndef SELFPATCH_MAKER_CP950_H
#define SELFPATCH_MAKER_CP950_H

#include <stdexcept>
#include <string>

namespace maker {

class TextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The code page 950 bytes of a UTF-8 text. A byte sequence that is not
// UTF-8, or a character that code page 950 lacks, throws TextError naming
// the character and its line ("line 3: U+00E9 'é' has no code page 950
// form").
std::string Utf8ToCp950(const std::string& utf8);

}  // namespace maker

#endif
