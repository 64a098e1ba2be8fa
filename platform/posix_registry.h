// The registry of the POSIX platform table: a tree of keys and values held
// in memory for the life of the process.
//
// The platform table reaches it through reg_open, reg_query, reg_set and
// reg_close with the Win32 rules the core depends on (keys are never created
// by opening, names compare without regard to ASCII case, an empty or null
// value name is the key's default value, a key opened without
// KEY_SET_VALUE refuses writes, a query with too small a buffer fails and
// reports the size it needs). The functions below are for tests and the
// command-line tool: they seed the tree, read it back and list it, for
// example to load and save a .reg file.
//
// Roots are the predefined key values (kHkeyCurrentUser, ...; 0x80000000 to
// 0x80000006). Subkey paths separate their keys with '\'; empty components
// are skipped. One thread only.
#ifndef SELFPATCH_PLATFORM_POSIX_REGISTRY_H
#define SELFPATCH_PLATFORM_POSIX_REGISTRY_H

#include <stdint.h>

#include "platform/platform.h"

// Creates the key and every missing key above it. False for an unknown root
// or when memory runs out.
bool PosixRegCreateKey(RegKey root, const char* subkey);

// Stores a value (replacing one of the same name), creating the key as
// PosixRegCreateKey does. A null or empty name is the default value.
bool PosixRegSetValue(RegKey root, const char* subkey, const char* name,
                      uint32_t type, const void* data, uint32_t size);

// Reads a value. *size is the room in data on entry and the value's size on
// return; data may be null to ask only for the size and type. False when
// the key or value is missing, or when the value does not fit (*size then
// holds the size it needs). type may be null.
bool PosixRegGetValue(RegKey root, const char* subkey, const char* name,
                      uint32_t* type, void* data, uint32_t* size);

bool PosixRegKeyExists(RegKey root, const char* subkey);

// Removes a value, or a key with everything below it. Handles open on a
// removed key stop working (their calls fail).
bool PosixRegDeleteValue(RegKey root, const char* subkey, const char* name);
bool PosixRegDeleteKey(RegKey root, const char* subkey);

// Empties the whole registry and forgets every open handle.
void PosixRegClear(void);

// Keys opened through the platform table and not closed yet.
int32_t PosixRegOpenHandles(void);

// Lists the registry: for each root in order, each key in creation order,
// a key before its values and its values before its subkeys. The visitor is
// called once per key with value null (not for the roots themselves), and
// once per value. key_path is the path below the root, joined with '\'
// ("" for a value stored on a root). Nothing may be changed during a visit.
struct PosixRegValue {
  const char* name;  // "" for the default value
  uint32_t type;
  const uint8_t* data;
  uint32_t size;
};
typedef void (*PosixRegVisitor)(void* ctx, RegKey root, const char* key_path,
                                const PosixRegValue* value);
void PosixRegVisit(PosixRegVisitor visit, void* ctx);

#endif
