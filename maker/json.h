// A small JSON reader for the maker's manifest (RFC 8259): objects, arrays,
// strings (UTF-8, with every escape), numbers, true, false, null.
//
// Errors throw JsonError with the line and column of the offending byte.
// Objects keep their members in file order; a repeated key is an error, as
// a manifest that says two things about one file is a mistake.
#ifndef SELFPATCH_MAKER_JSON_H
#define SELFPATCH_MAKER_JSON_H

#include <stdint.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace maker {

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  bool b = false;
  double number = 0;
  bool integral = false;  // written without fraction or exponent
  int64_t integer = 0;    // when integral and within range
  std::string text;       // kString; also the number as written
  std::vector<Json> items;                            // kArray
  std::vector<std::pair<std::string, Json>> members;  // kObject
  int line = 0, column = 0;                           // where it starts

  // The member named key, or null when there is none (objects only).
  const Json* Find(const std::string& key) const;
  // "line L, column C", for messages about this value.
  std::string Where() const;
  const char* KindName() const;
};

Json ParseJson(const std::string& text);

}  // namespace maker

#endif
