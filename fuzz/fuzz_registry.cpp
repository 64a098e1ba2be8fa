// Registry scripts, run by the registry pass against the in-memory registry.
//
// The input is one script; it travels as the only entry of a one-group
// payload, its stored length the input's size, so the runner and the pass
// read it exactly as they read a patch's. An independent reading of the
// script predicts the result (1 for a script that cannot be read to its end
// within its length, 40 for a missing or empty check value, 41 for a key
// that cannot be opened or a write through the read-only check key, else 0)
// and the values it writes; every prediction is checked, as are the
// registry left untouched on 1 and 40 and every key closed afterwards.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <utility>

#include "apply/passes.h"
#include "fuzz/fuzz_support.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "platform/posix_registry.h"

namespace {

// The script read as the format defines it, bounded by its length.
struct Reader {
  const uint8_t* p;
  size_t len;
  size_t at = 0;
  bool ok = true;
  void Bytes(void* dst, size_t n) {
    if (!ok || n > len - at) {
      ok = false;
      return;
    }
    memcpy(dst, p + at, n);
    at += n;
  }
  uint32_t U32() {
    uint8_t b[4] = {0, 0, 0, 0};
    Bytes(b, 4);
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
           ((uint32_t)b[3] << 24);
  }
  uint8_t U8() {
    uint8_t b = 0;
    Bytes(&b, 1);
    return b;
  }
  std::string String() {
    uint8_t n = U8();
    char buf[256];
    Bytes(buf, n);
    if (!ok) return std::string();
    return std::string(buf, strnlen(buf, n));
  }
};

bool Predefined(uint32_t root) {
  return root >= kHkeyClassesRoot && root <= kHkeyClassesRoot + 6;
}

// A key path as the registry matches it: components without regard to ASCII
// case, empty ones skipped.
std::string Canonical(const std::string& path) {
  std::string out, part;
  for (size_t i = 0; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '\\') {
      if (!part.empty()) out += (out.empty() ? "" : "\\") + part;
      part.clear();
    } else {
      char c = path[i];
      if (c >= 'a' && c <= 'z') c = (char)(c - 32);
      part += c;
    }
  }
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 32);
  return s;
}

struct Write {
  uint32_t root;
  std::string key;  // as written (components kept for the look-up)
  std::string name;
  uint32_t type;
  std::string data;
};

struct Prediction {
  MsgCode rc = kOk;
  bool exact = true;  // false once a key outside the predefined roots is used
  std::map<std::pair<uint32_t, std::string>, Write> writes;  // last wins
};

Prediction Predict(const uint8_t* script, size_t len) {
  Prediction pr;
  // First the whole script is read, before anything is done.
  Reader r{script, len};
  uint32_t check_root = r.U32();
  std::string check_key = r.String();
  std::string check_name = r.String();
  r.U32();
  r.U8();
  for (;;) {
    uint8_t op = r.U8();
    if (!r.ok) break;
    if (op == 0) break;
    if (op == 1) {
      r.U32();
      r.String();
    } else if (op == 2) {
      r.String();
      r.U32();
      uint32_t n = r.U32();
      if (!r.ok || n > 1001) {
        r.ok = false;
        break;
      }
      std::string data(n, '\0');
      r.Bytes(&data[0], n);
    }
    if (!r.ok) break;
  }
  if (!r.ok) {
    pr.rc = kMsgBroken;
    return pr;
  }

  // The check value.
  uint8_t value[1001];
  uint32_t size = sizeof value, type = 0;
  value[0] = 0;
  if (!Predefined(check_root) ||
      !PosixRegGetValue(check_root, check_key.c_str(), check_name.c_str(),
                        &type, value, &size) ||
      size == 0 || value[0] == 0) {
    pr.rc = kMsgRegistryFolder;
    return pr;
  }

  // The operations, in order.
  Reader o{script, len};
  o.U32();
  o.String();
  o.String();
  o.U32();
  o.U8();
  bool writable = false;
  uint32_t cur_root = 0;
  std::string cur_key;
  for (;;) {
    uint8_t op = o.U8();
    if (op == 0) return pr;
    if (op == 1) {
      uint32_t root = o.U32();
      std::string key = o.String();
      if (!Predefined(root)) {
        // A handle value: what it opens depends on the handles in use.
        pr.exact = false;
        return pr;
      }
      if (!PosixRegKeyExists(root, key.c_str())) {
        pr.rc = kMsgRegistryAccess;
        return pr;
      }
      writable = true;
      cur_root = root;
      cur_key = key;
    } else if (op == 2) {
      Write w;
      w.name = o.String();
      w.type = o.U32();
      uint32_t n = o.U32();
      w.data.assign(n, '\0');
      if (n) o.Bytes(&w.data[0], n);
      if (!writable) {
        pr.rc = kMsgRegistryAccess;
        return pr;
      }
      w.root = cur_root;
      w.key = cur_key;
      pr.writes[{cur_root, Canonical(cur_key) + "|" + Upper(w.name)}] = w;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  FuzzResetWorld();

  // One group of the chosen folder with the script as its only entry.
  std::string payload;
  payload += '\0';            // group kind: chosen folder
  payload += '\0';            // flags: no more groups
  payload += "\x03" "BAK";    // backup folder name
  payload += '\x05';          // registry entry
  for (int i = 0; i < 4; i++) payload += (char)(size >> (8 * i));
  payload.append((const char*)data, size);
  payload += '\0';            // end of the group

  const std::string before = FuzzRegistryDump();
  const Prediction pr = Predict(data, size);

  Session* s = FuzzSession(FuzzGuardedPlatform());
  std::string chosen = FuzzPath("app");
  StrSetZ(&s->chosen_folder, chosen.c_str());
  if (!FuzzLoadPayload(s, (const uint8_t*)payload.data(), payload.size(), 0))
    FuzzFail("payload", "cannot load");
  MsgCode rc = ReadTargetGroups(s);
  FUZZ_CHECK(rc == kOk, "group table: " + std::to_string(rc));
  rc = RunEntryPass(s, RegistryPass, true);
  SessionClose(s);

  if (getenv("SELFPATCH_FUZZ_VERBOSE"))
    fprintf(stderr, "result %d, predicted %d\n", (int)rc, (int)pr.rc);
  FUZZ_CHECK(rc == kOk || rc == kMsgBroken || rc == kMsgRegistryFolder ||
                 rc == kMsgRegistryAccess,
             std::to_string(rc));
  FUZZ_CHECK(PosixRegOpenHandles() == 0, "a registry key was left open");
  if (rc == kMsgBroken || rc == kMsgRegistryFolder)
    FUZZ_CHECK(FuzzRegistryDump() == before,
               "the registry changed although the script was refused");
  if (!pr.exact) return 0;
  FUZZ_CHECK(rc == pr.rc, "result " + std::to_string(rc) + ", expected " +
                              std::to_string(pr.rc));
  for (const auto& kv : pr.writes) {
    const Write& w = kv.second;
    uint8_t got[1001];
    uint32_t got_size = sizeof got, got_type = 0;
    FUZZ_CHECK(PosixRegGetValue(w.root, w.key.c_str(), w.name.c_str(),
                                &got_type, got, &got_size),
               "value not written: " + w.key + " : " + w.name);
    FUZZ_CHECK(got_type == w.type && got_size == w.data.size() &&
                   memcmp(got, w.data.data(), got_size) == 0,
               "value differs: " + w.key + " : " + w.name);
  }
  return 0;
}
