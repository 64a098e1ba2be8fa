#include "support/payload_fixture.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix_registry.h"
#endif

#include <fstream>

#include "container/container.h"
#include "maker/writer/container_writer.h"

namespace {

void RecordFolder(void* ctx, const char* text) {
  static_cast<PayloadSession*>(ctx)->folders_shown.push_back(text);
}

}  // namespace

PayloadSession::PayloadSession(const Platform* os) : s_(new Session) {
  SessionInit(s_.get(), os);
  s_->hooks.ctx = this;
  s_->hooks.set_folder_text = RecordFolder;
  SetChosenFolder(".\\");
}

PayloadSession::~PayloadSession() { SessionClose(s_.get()); }

void PayloadSession::SetChosenFolder(const std::string& folder) {
  StrSetZ(&s_->chosen_folder, folder.c_str());
}

bool PayloadSession::LoadBytes(const std::string& payload,
                               uint32_t group_table_pos) {
  Session* s = s_.get();
  if (s->payload) s->os->close(s->payload);
  s->payload = s->os->create_temp_file();
  if (!s->payload) return false;
  int32_t done = 0;
  if (!payload.empty() &&
      (!s->os->write(s->payload, payload.data(), (int32_t)payload.size(),
                     &done) ||
       done != (int32_t)payload.size()))
    return false;
  s->group_table_pos = group_table_pos;
  // Where the loader leaves the cursor: after the two texts.
  s->os->seek(s->payload, (int32_t)group_table_pos);
  return true;
}

bool PayloadSession::Load(const writer::PayloadBuilder& b,
                          writer::PayloadLayout* layout) {
  writer::PayloadLayout at;
  std::string payload = b.Build(&at);
  if (layout) *layout = at;
  return LoadBytes(payload, at.group_table_pos);
}

MsgCode PayloadSession::LoadThroughContainer(const writer::PayloadBuilder& b,
                                             const std::string& exe_path,
                                             bool deflate) {
  writer::ContainerOptions o;
  o.deflate = deflate;
  o.notice_length = b.notice_length();
  o.description_length = b.description_length();
  writer::Bytes file = writer::WritePatchFile(writer::ToBytes("MZ stub"),
                                              b.BuildBytes(), o);
  // The loaded executable stays open, shared for reading only; let go of
  // it before the file is written again.
  Session* s = s_.get();
  if (s->payload) s->os->close(s->payload);
  if (s->exe) s->os->close(s->exe);
  s->payload = 0;
  s->exe = 0;
  {
    std::ofstream out(exe_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              (std::streamsize)file.size());
    if (!out) return -1;
  }
  StrSetZ(&s->own_path, exe_path.c_str());
  s->own_path_set = true;
  return LoadContainer(s);
}

const char kTestRegistryKey[] = "Software\\selfpatch-payload-test";

#ifdef _WIN32

namespace {

void DeleteTree(HKEY parent, const char* name) {
  HKEY key;
  if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return;
  char sub[256];
  for (;;) {
    DWORD len = sizeof sub;
    if (RegEnumKeyExA(key, 0, sub, &len, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
      break;
    DeleteTree(key, sub);
  }
  RegCloseKey(key);
  RegDeleteKeyA(parent, name);
}

}  // namespace

bool SeedRegistryValue(const std::string& subkey, const std::string& name,
                       uint32_t type, const std::string& data) {
  std::string path = kTestRegistryKey;
  if (!subkey.empty()) path += "\\" + subkey;
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0,
                      KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(key, name.c_str(), 0, type,
                           reinterpret_cast<const BYTE*>(data.data()),
                           (DWORD)data.size());
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

void RemoveTestRegistryKey() { DeleteTree(HKEY_CURRENT_USER, kTestRegistryKey); }

#else

bool SeedRegistryValue(const std::string& subkey, const std::string& name,
                       uint32_t type, const std::string& data) {
  std::string path = kTestRegistryKey;
  if (!subkey.empty()) path += "\\" + subkey;
  return PosixRegSetValue(kHkeyCurrentUser, path.c_str(), name.c_str(), type,
                          data.data(), (uint32_t)data.size());
}

void RemoveTestRegistryKey() {
  PosixRegDeleteKey(kHkeyCurrentUser, kTestRegistryKey);
}

#endif
