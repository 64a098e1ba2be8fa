// selfpatch info PATCH [--json]
//
// Loads the container at the end of PATCH as the applier does and describes
// it: where the container lies, how its payload is held (stored, or
// deflated and from how many bytes), the notice as the Info button shows it
// and the description as its pane shows it, both in UTF-8, and where the
// target-group table begins.
//
// Exit status 0, or the message code the load failed with (its text on
// stderr); 2 for usage errors, a code no message has.
//
// Each part of the report is one Print function over the loaded Info; the
// groups, entries and totals follow the texts (cli/info_payload.h), and
// --json gives all of it as one JSON object.
#include "cli/cmd_info.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "cli/commands.h"
#include "cli/info_payload.h"
#include "cli/patch_session.h"
#include "container/container.h"
#include "messages/messages.h"

namespace {

struct Info {
  const char* path = nullptr;
  Session* s = nullptr;
  ContainerFacts facts{};
  std::string notice;  // as handed to the window, code page 950
  std::string description;
  bool description_shown = false;
};

void KeepNotice(void* ctx, const char* text) {
  static_cast<Info*>(ctx)->notice = text;
}

void ShowDescription(void* ctx, const char* text) {
  Info* info = static_cast<Info*>(ctx);
  info->description = text;
  info->description_shown = true;
}

int Usage(FILE* err) {
  fprintf(err, "usage: selfpatch info PATCH [--json]\n");
  return 2;
}

// A text as lines indented by two spaces; the description pane's line break
// byte 0x01 counts as one.
void PrintBlock(FILE* out, const std::string& big5) {
  std::string text = Cp950ToUtf8(big5);
  for (char& c : text)
    if (c == 0x01) c = '\n';
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    fprintf(out, "  %s\n", text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

void PrintContainer(FILE* out, const Info& info) {
  const ContainerFacts& f = info.facts;
  fprintf(out, "file: %s (%u bytes)\n", info.path, f.file_size);
  fprintf(out, "container: %u bytes at offset %u\n", f.container_length,
          f.file_size - f.container_length);
  if (f.flags & kContainerFlagDeflated) {
    fprintf(out, "payload: %u bytes, deflated into %u bytes\n",
            f.payload_length, f.region_length);
    if (!f.stream_ended)
      fprintf(out, "warning: the deflate stream does not end in its region\n");
    else if (f.region_used < f.region_length)
      fprintf(out, "note: %u bytes after the deflate stream's end ignored\n",
              f.region_length - f.region_used);
  } else {
    fprintf(out, "payload: %u bytes, stored\n", f.payload_length);
  }
  if (f.header_magic != kContainerMagic || f.trailer_magic != kContainerMagic)
    fprintf(out, "note: magic values %08X/%08X (not compared)\n",
            f.header_magic, f.trailer_magic);
}

void PrintTexts(FILE* out, const Info& info) {
  const ContainerFacts& f = info.facts;
  fprintf(out, "notice: %u bytes\n", f.notice_length);
  if (!info.notice.empty()) PrintBlock(out, info.notice);
  fprintf(out, "description: %u bytes%s\n", f.description_length,
          info.description_shown ? "" : " (pane hidden)");
  if (info.description_shown) PrintBlock(out, info.description);
  fprintf(out, "group table: at payload position %u\n",
          info.s->group_table_pos);
}

}  // namespace

int InfoMain(int argc, char** argv, FILE* out, FILE* err) {
  Info info;
  bool json = false;
  for (int i = 0; i < argc; i++) {
    if (!strcmp(argv[i], "--json") && !json) {
      json = true;
      continue;
    }
    if (argv[i][0] == '-' || info.path) return Usage(err);
    info.path = argv[i];
  }
  if (!info.path) return Usage(err);

  PatchSession session;
  Session* s = session.s();
  info.s = s;
  s->own_path_set = true;
  if (!SetCorePath(&s->own_path, info.path)) {
    fprintf(err,
            "selfpatch info: path too long, or not a name in code page 950\n");
    return kMsgCannotOpenSelf;
  }
  s->hooks.ctx = &info;
  s->hooks.keep_notice = KeepNotice;
  s->hooks.show_description = ShowDescription;
  MsgCode rc = LoadContainerWithFacts(s, &info.facts);
  if (rc != kOk) {
    fprintf(err, "selfpatch info: %s\n", MessageUtf8(s, rc).c_str());
    return rc;
  }
  std::string payload;
  PayloadInfo walk;
  if (ReadPayloadStream(s, &payload))
    walk = WalkPayload(payload, s->group_table_pos);
  else
    walk.problem = "the payload stream cannot be read back";
  if (json) {
    PrintInfoJson(out, info.path, info.facts, info.notice, info.description,
                  info.description_shown, s->group_table_pos, walk);
    return 0;
  }
  PrintContainer(out, info);
  PrintTexts(out, info);
  PrintPayloadText(out, walk);
  return 0;
}

int CmdInfo(int argc, char** argv) {
  return InfoMain(argc, argv, stdout, stderr);
}
