// Registry scripts run by the registry pass, against the registry of the
// platform table: the in-memory registry on the host, the prefix's real
// registry under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apply/passes.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

const std::string kCheck = std::string(kTestRegistryKey) + "\\Check";
const std::string kOut = std::string(kTestRegistryKey) + "\\Out";
const std::string kMissing = std::string(kTestRegistryKey) + "\\Missing";

struct Value {
  bool present = false;
  uint32_t type = 0;
  std::string data;
};

Value ReadValue(const Platform* os, const std::string& subkey,
                const std::string& name) {
  Value v;
  RegKey key = 0;
  if (!os->reg_open(kHkeyCurrentUser, subkey.c_str(), kKeyRead, &key)) return v;
  std::vector<char> buf(4096);
  uint32_t size = (uint32_t)buf.size();
  v.present = os->reg_query(key, name.c_str(), &v.type, buf.data(), &size);
  if (v.present) v.data.assign(buf.data(), size);
  os->reg_close(key);
  return v;
}

bool KeyExists(const Platform* os, const std::string& subkey) {
  RegKey key = 0;
  if (!os->reg_open(kHkeyCurrentUser, subkey.c_str(), kKeyRead, &key))
    return false;
  os->reg_close(key);
  return true;
}

writer::RegistryScript CheckedScript(const std::string& value = "Path") {
  return writer::RegistryScript(kHkeyCurrentUser, kCheck, value);
}

class RegistryPassTest : public testing::Test {
 protected:
  void SetUp() override {
    RemoveTestRegistryKey();
    ASSERT_TRUE(SeedRegistryValue("Check", "Path", kRegSz,
                                  std::string("C:\\App") + '\0'));
    ASSERT_TRUE(
        SeedRegistryValue("Check", "Empty", kRegSz, std::string(1, '\0')));
    ASSERT_TRUE(SeedRegistryValue("Check", "NoBytes", kRegBinary, ""));
    ASSERT_TRUE(
        SeedRegistryValue("Out", "Before", kRegSz, std::string("b") + '\0'));
  }
  void TearDown() override { RemoveTestRegistryKey(); }

  // Runs the registry pass alone over a group holding the scripts.
  MsgCode RunScripts(ApplyHarness& h, const std::vector<std::string>& scripts) {
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    for (const std::string& s : scripts) b.AddRegistryBytes(s);
    if (!h.Load(b)) return -1;
    MsgCode rc = ReadTargetGroups(h.s());
    if (rc != kOk) return rc;
    return RunEntryPass(h.s(), RegistryPass, true);
  }
};

TEST_F(RegistryPassTest, ScriptsAndTheirResults) {
  struct Case {
    const char* what;
    std::string script;
    MsgCode result;
    bool written;  // whether "Out\Set" holds "x" afterwards
  };
  const std::string set_x = std::string("x") + '\0';
  auto with_set = [&](writer::RegistryScript s) {
    return s.OpenKey(kHkeyCurrentUser, kOut)
        .SetValue("Set", kRegSz, set_x)
        .Bytes();
  };
  const Case cases[] = {
      {"check value present, nothing else", CheckedScript().Bytes(), kOk,
       false},
      {"open key and set value", with_set(CheckedScript()), kOk, true},
      {"missing check key",
       with_set(writer::RegistryScript(kHkeyCurrentUser, kMissing, "Path")),
       kMsgRegistryFolder, false},
      {"missing check value", with_set(CheckedScript("Nope")),
       kMsgRegistryFolder, false},
      {"empty check value", with_set(CheckedScript("Empty")),
       kMsgRegistryFolder, false},
      {"check value of no bytes", with_set(CheckedScript("NoBytes")),
       kMsgRegistryFolder, false},
      {"set value through the check key, open for reading only",
       CheckedScript().SetValue("Set", kRegSz, set_x).Bytes(),
       kMsgRegistryAccess, false},
      {"open a key that does not exist",
       CheckedScript()
           .OpenKey(kHkeyCurrentUser, kMissing)
           .SetValue("Set", kRegSz, set_x)
           .Bytes(),
       kMsgRegistryAccess, false},
      {"opcodes 3 and up are skipped one byte each",
       CheckedScript()
           .Raw("\x03\x07\xff")
           .OpenKey(kHkeyCurrentUser, kOut)
           .Raw("\x09")
           .SetValue("Set", kRegSz, set_x)
           .Bytes(),
       kOk, true},
      {"script without its end opcode",
       CheckedScript()
           .OpenKey(kHkeyCurrentUser, kOut)
           .SetValue("Set", kRegSz, set_x)
           .BytesWithoutEnd(),
       kMsgBroken, false},
      {"set-value data longer than the 1001-byte buffer",
       CheckedScript()
           .OpenKey(kHkeyCurrentUser, kOut)
           .SetValue("Set", kRegSz, set_x)
           .SetValue("Big", kRegBinary, std::string(1002, 'b'))
           .Bytes(),
       kMsgBroken, false},
      {"a set-value cut short",
       CheckedScript()
           .OpenKey(kHkeyCurrentUser, kOut)
           .SetValue("Set", kRegSz, set_x)
           .Raw(std::string("\x02\x01Z\x03\x00\x00\x00\x10\x00\x00\x00", 11))
           .BytesWithoutEnd(),
       kMsgBroken, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    ApplyHarness h;
    EXPECT_EQ(RunScripts(h, {c.script}), c.result);
    Value v = ReadValue(h.s()->os, kOut, "Set");
    EXPECT_EQ(v.present, c.written);
    if (c.written) {
      EXPECT_EQ(v.data, set_x);
    }
    EXPECT_FALSE(KeyExists(h.s()->os, kMissing));
    EXPECT_EQ(ReadValue(h.s()->os, kOut, "Before").data,
              std::string("b") + '\0');
  }
}

// Types and bytes are written exactly as stored, also a value of no bytes,
// a value of exactly the buffer's 1001 bytes and a type the system has no
// name for.
TEST_F(RegistryPassTest, ValuesAreWrittenExactlyAsStored) {
  ApplyHarness h;
  std::string dword("\x2a\x00\x00\x00", 4);
  std::string multi("one\0two\0\0", 9);
  std::string full(1001, '\x5a');
  std::string script = CheckedScript()
                           .OpenKey(kHkeyCurrentUser, kOut)
                           .SetValue("Dword", kRegDword, dword)
                           .SetValue("Multi", kRegMultiSz, multi)
                           .SetValue("Empty", kRegBinary, "")
                           .SetValue("Full", kRegBinary, full)
                           .SetValue("", kRegSz, std::string("default") + '\0')
                           .Bytes();
  ASSERT_EQ(RunScripts(h, {script}), kOk);
  const Platform* os = h.s()->os;
  struct Want {
    const char* name;
    uint32_t type;
    std::string data;
  };
  for (const Want& w :
       {Want{"Dword", kRegDword, dword}, Want{"Multi", kRegMultiSz, multi},
        Want{"Empty", kRegBinary, ""}, Want{"Full", kRegBinary, full},
        Want{"", kRegSz, std::string("default") + '\0'}}) {
    SCOPED_TRACE(w.name);
    Value v = ReadValue(os, kOut, w.name);
    EXPECT_TRUE(v.present);
    EXPECT_EQ(v.type, w.type);
    EXPECT_EQ(v.data, w.data);
  }
}

// A failing set-value ends the script; what was set before it stays set.
TEST_F(RegistryPassTest, ValuesSetBeforeAFailureStay) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  fault.FailCall(kFaultRegSet, 2);
  std::string script = CheckedScript()
                           .OpenKey(kHkeyCurrentUser, kOut)
                           .SetString("First", "1")
                           .SetString("Second", "2")
                           .SetString("Third", "3")
                           .Bytes();
  EXPECT_EQ(RunScripts(h, {script}), kMsgRegistryAccess);
  const Platform* os = PlatformNative();
  EXPECT_TRUE(ReadValue(os, kOut, "First").present);
  EXPECT_FALSE(ReadValue(os, kOut, "Second").present);
  EXPECT_FALSE(ReadValue(os, kOut, "Third").present);
}

// Several registry entries run in order, and the first failure stops the
// pass: a later script writes nothing.
TEST_F(RegistryPassTest, FirstFailingScriptEndsThePass) {
  ApplyHarness h;
  std::string good = CheckedScript()
                         .OpenKey(kHkeyCurrentUser, kOut)
                         .SetString("A", "a")
                         .Bytes();
  std::string bad =
      writer::RegistryScript(kHkeyCurrentUser, kMissing, "Path").Bytes();
  std::string later = CheckedScript()
                          .OpenKey(kHkeyCurrentUser, kOut)
                          .SetString("C", "c")
                          .Bytes();
  EXPECT_EQ(RunScripts(h, {good, bad, later}), kMsgRegistryFolder);
  EXPECT_TRUE(ReadValue(h.s()->os, kOut, "A").present);
  EXPECT_FALSE(ReadValue(h.s()->os, kOut, "C").present);
}

// Every key the pass opens is closed again, whichever way a script ends.
TEST_F(RegistryPassTest, KeysAreClosed) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  std::string a = CheckedScript()
                      .OpenKey(kHkeyCurrentUser, kOut)
                      .OpenKey(kHkeyCurrentUser, kCheck)
                      .OpenKey(kHkeyCurrentUser, kOut)
                      .SetString("A", "a")
                      .Bytes();
  std::string b = CheckedScript().OpenKey(kHkeyCurrentUser, kMissing).Bytes();
  EXPECT_EQ(RunScripts(h, {a, b}), kMsgRegistryAccess);
  // reg_open counts include the check of each script.
  EXPECT_EQ(fault.Calls(kFaultRegClose), fault.Calls(kFaultRegOpen) - 1);
}

}  // namespace
