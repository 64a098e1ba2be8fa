// Writes a small example patch container: a notice and a description in
// code page 950, one target group (the chosen folder) with a new file and a
// removed file. scripts/demo.sh builds it and shows it with `selfpatch info`.
//
//   make_example_patch OUT [--stored]
#include <iconv.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>

#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"

namespace {

// UTF-8 source text in code page 950; exits on a character without one.
std::string Cp950(const std::string& utf8) {
  iconv_t cd = iconv_open("CP950", "UTF-8");
  if (cd == (iconv_t)-1) {
    perror("iconv_open CP950");
    exit(1);
  }
  std::string in = utf8, out(utf8.size() * 2 + 16, '\0');
  char* src = &in[0];
  char* dst = &out[0];
  size_t left = in.size(), room = out.size();
  if (iconv(cd, &src, &left, &dst, &room) == (size_t)-1) {
    fprintf(stderr, "no code page 950 form for: %s\n", utf8.c_str());
    exit(1);
  }
  iconv_close(cd);
  out.resize(out.size() - room);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "--stored"))) {
    fprintf(stderr, "usage: make_example_patch OUT [--stored]\n");
    return 2;
  }
  // The notice shows in the Info box; "#%" ends it, so the maker's remark
  // after it stays out of sight. NULs become line breaks.
  std::string notice = Cp950("範例更新程式 1.1 版") + std::string(1, '\0') +
                       Cp950("歡迎使用。") + "#%" + "built by the example";
  std::string description = Cp950("這個更新會加入 readme.txt") +
                            std::string(1, '\0') +
                            Cp950("並刪除 old.log。");

  writer::PayloadBuilder b;
  b.SetTexts(notice, description);
  b.ChosenFolderGroup("BACKUP");
  writer::NewFile readme;
  readme.name = "readme.txt";
  readme.data = "Example file added by the example patch.\r\n";
  b.AddNewFile(readme);
  b.AddRemoved("old.log");

  writer::ContainerOptions o;
  o.deflate = argc < 3;
  o.notice_length = b.notice_length();
  o.description_length = b.description_length();
  writer::Bytes file = writer::WriteContainer(b.BuildBytes(), o);

  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write((const char*)file.data(), (std::streamsize)file.size());
  if (!out) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
