#include "messages/messages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "messages/big5_samples.h"
#include "texts_big5.h"

namespace {

struct SessionBox {
  std::unique_ptr<Session> s{new Session};
  SessionBox() { SessionInit(s.get(), nullptr); }
  Session* operator->() { return s.get(); }
  Session* get() { return s.get(); }
};

std::string Text(Session* s, MsgCode code) {
  Str out;
  MessageText(s, code, &out);
  return std::string(out.s, (size_t)out.len);
}

std::string Expand(Session* s, const std::string& tmpl) {
  Str out;
  ExpandTemplate(s, tmpl.c_str(), &out);
  return std::string(out.s, (size_t)out.len);
}

void Set(Str* d, const std::string& v) { StrSet(d, v.data(), (int32_t)v.size()); }

TEST(MessageBytes, RepresentativeTextsMatchIndependentBytes) {
  SessionBox s;
  EXPECT_EQ(Text(s.get(), kMsgCancelled), big5::kCancelled);
  EXPECT_EQ(big5::kCancelled.size(), 83u);
  EXPECT_EQ(Text(s.get(), kMsgSuccess), "\r" + big5::kSuccess + "\r");
  EXPECT_EQ(Text(s.get(), kMsgUsage), big5::kUsage + "\r");
  EXPECT_EQ(Text(s.get(), kMsgDone), big5::kDone + "\r");
  EXPECT_EQ(Text(s.get(), kMsgChecking), big5::kChecking + " :\r\r");
  EXPECT_EQ(Text(s.get(), kMsgRequiredMissing),
            big5::kRequiredMissing + "\r ");

  Set(&s->entry.name, "A.DLL");
  EXPECT_EQ(Text(s.get(), kMsgUpdating), big5::kDoing + " " + big5::kOpen +
                                             "A.DLL" + big5::kClose + " " +
                                             big5::kFileUpdate + " : ");
}

TEST(MessageBytes, NamedTextsMatchIndependentBytes) {
  struct Case {
    const char* name;
    std::string generated;
    std::string expected;
  } cases[] = {
      {"current folder", kTextCurrentFolder, big5::kCurrentFolder},
      {"usage caption", kTextUsageCaption, big5::kUsageCaption},
      {"exit at creation", kTextExitCancel, big5::kExitCancel},
      {"fallback head", kTextBrowserFallbackHead, big5::kFallbackHead},
      {"fallback tail", kTextBrowserFallbackTail, big5::kFallbackTail},
      {"error caption", kTextErrorCaption, big5::kErrorCaption},
      {"window title", kTextWindowTitle, big5::kWindowTitle},
      {"restart caption", kTextRestartCaption, big5::kRestartCaption},
  };
  for (const Case& c : cases) EXPECT_EQ(c.generated, c.expected) << c.name;
  EXPECT_EQ(sizeof kTextCurrentFolder - 1, 17u);
  EXPECT_EQ(sizeof kTextBrowserFallbackHead - 1, 76u);
  EXPECT_EQ(sizeof kTextBrowserFallbackTail - 1, 10u);
}

// Every template must be well-formed double-byte text (a lead byte
// 0x81..0xFE followed by a trail byte 0x40..0x7E or 0xA1..0xFE) and may use
// only the four placeholders. A table that slipped into UTF-8, lost a byte
// or carries a typo such as "%S" fails here.
TEST(MessageTable, EveryTemplateIsWellFormedBig5WithKnownPlaceholders) {
  for (MsgCode code = kMsgFirst; code <= kMsgLast; ++code) {
    const unsigned char* t =
        reinterpret_cast<const unsigned char*>(MessageTemplate(code));
    std::string where = "code " + std::to_string(code);
    if (code == 2) {
      EXPECT_STREQ(MessageTemplate(code), "") << where;
      continue;
    }
    ASSERT_NE(t[0], 0) << where;
    for (size_t i = 0; t[i]; ++i) {
      unsigned char b = t[i];
      if (b >= 0x81 && b <= 0xFE) {
        unsigned char trail = t[i + 1];
        bool ok = (trail >= 0x40 && trail <= 0x7E) ||
                  (trail >= 0xA1 && trail <= 0xFE);
        ASSERT_TRUE(ok) << where << " byte " << i;
        ++i;
      } else {
        ASSERT_LT(b, 0x80) << where << " byte " << i;
        ASSERT_NE(b, '\r') << where;
        ASSERT_NE(b, '\n') << where;
        if (b == '%') {
          ASSERT_NE(std::string("npms").find((char)t[i + 1]),
                    std::string::npos)
              << where << " byte " << i;
        }
      }
    }
  }
}

TEST(MessageTable, CodesOutsideTheTableAreEmpty) {
  for (MsgCode code : {-1, 0, 2, 42, 1000}) {
    EXPECT_STREQ(MessageTemplate(code), "") << code;
  }
  SessionBox s;
  EXPECT_EQ(Text(s.get(), 0), "");
  EXPECT_EQ(Text(s.get(), 42), "");
}

TEST(MessageTable, RestartResultSharesTheRestartQuestion) {
  EXPECT_STREQ(MessageTemplate(kMsgRestartDeclined),
               MessageTemplate(kMsgRestartPrompt));
  EXPECT_EQ(sizeof kTextMsg09 - 1, 197u);
}

TEST(ExpandTemplate, Rules) {
  const std::string here = big5::kCurrentFolder;
  struct Case {
    const char* tmpl;
    const char* own_path;
    const char* entry;
    const char* target;
    std::string expected;
  } cases[] = {
      // Line breaks.
      {"a%nb", "", "", "", "a\rb"},
      {"%n%n", "", "", "", "\r\r"},
      // Folder values naming the current folder read as the phrase.
      {"[%s]", "", "", ".", "[" + here + "]"},
      {"[%s]", "", "", ".\\", "[" + here + "]"},
      {"[%m]", "", ".", "", "[" + here + "]"},
      {"[%p]", ".", "", "", "[" + here + "]"},
      // A ".\" prefix is dropped from longer values only.
      {"[%s]", "", "", ".\\Game", "[Game]"},
      {"[%s]", "", "", ".\\x", "[x]"},
      {"[%s]", "", "", ".\\\\x", "[\\x]"},
      {"[%s]", "", "", "..", "[..]"},
      {"[%s]", "", "", "..\\x", "[..\\x]"},
      {"[%s]", "", "", "a.\\b", "[a.\\b]"},
      {"[%s]", "", "", "C:\\Game\\Data", "[C:\\Game\\Data]"},
      // Empty values give nothing: "%m" before any entry was read.
      {"[%m]", "", "", "", "[]"},
      // Values are copied, never expanded again.
      {"%p", "C:\\100%s\\%n.exe", "", "X", "C:\\100%s\\%n.exe"},
      {"%m", "", "%p%%", "", "%p%%"},
      // A '%' that names no placeholder stands for itself and the byte after
      // it is read normally, so "%%n" is a '%' and a line break.
      {"%N%x", "", "", "", "%N%x"},
      {"%%n", "", "", "", "%\r"},
      {"%%", "", "", "", "%%"},
      {"100%", "", "", "", "100%"},
      {"%", "", "", "", "%"},
      {"%%s", "", "", "T", "%T"},
      {"%%%", "", "", "", "%%%"},
      // All placeholders together.
      {"%p|%m|%s%n", "C:\\P.EXE", "A.DLL", "D:\\G", "C:\\P.EXE|A.DLL|D:\\G\r"},
  };
  for (const Case& c : cases) {
    SessionBox s;
    StrSetZ(&s->own_path, c.own_path);
    StrSetZ(&s->entry.name, c.entry);
    StrSetZ(&s->target_folder, c.target);
    EXPECT_EQ(Expand(s.get(), c.tmpl), c.expected)
        << "template " << c.tmpl << " path " << c.own_path << " entry "
        << c.entry << " folder " << c.target;
  }
}

TEST(ExpandTemplate, FolderPhraseInsideAMessage) {
  SessionBox s;
  StrSetZ(&s->target_folder, ".");
  std::string t = Text(s.get(), kMsgCanApply);
  EXPECT_NE(t.find(big5::kOpen + big5::kCurrentFolder + big5::kClose),
            std::string::npos);
}

// Values come from the payload and the file system; an expansion that would
// pass the string's capacity is cut, and nothing past the buffer is touched.
TEST(ExpandTemplate, LongValuesAreCutNotOverflowed) {
  SessionBox s;
  std::string folder(kStrCap - 10, 'F');
  Set(&s->target_folder, folder);
  Set(&s->entry.name, std::string(kStrCap - 1, 'E'));
  struct Guarded {
    Str out;
    char guard[64];
  };
  std::unique_ptr<Guarded> g(new Guarded);
  memset(g->guard, 0x5A, sizeof g->guard);
  ExpandTemplate(s.get(), "x%s%m%s%n", &g->out);
  EXPECT_EQ(g->out.len, kStrCap - 1);
  EXPECT_TRUE(g->out.overflow);
  EXPECT_EQ(g->out.s[kStrCap - 1], 0);
  EXPECT_EQ(std::string(g->out.s, 1 + folder.size()), "x" + folder);
  EXPECT_EQ(std::string(g->out.s + 1 + folder.size()),
            std::string(kStrCap - 2 - folder.size(), 'E'));
  for (char c : g->guard) ASSERT_EQ(c, 0x5A);

  // A cut message still logs as a message of the capacity's length.
  Str text;
  MessageText(s.get(), kMsgCanApply, &text);
  EXPECT_EQ(text.len, kStrCap - 1);
}

struct AskRecord {
  int calls = 0;
  std::string text, caption;
  uint32_t style = 0;
  bool answer = false;
};

bool RecordAsk(void* ctx, const char* text, const char* caption,
               uint32_t style) {
  AskRecord* r = static_cast<AskRecord*>(ctx);
  ++r->calls;
  r->text = text;
  r->caption = caption;
  r->style = style;
  return r->answer;
}

TEST(AskQuestion, ShowsTheExpandedTextWithTheQuestionIcon) {
  for (bool yes : {true, false}) {
    SessionBox s;
    AskRecord rec;
    rec.answer = yes;
    s->hooks.ctx = &rec;
    s->hooks.ask = RecordAsk;
    EXPECT_EQ(AskQuestion(s.get(), kMsgRestartPrompt, kTextRestartCaption, 4),
              yes);
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.text, Text(s.get(), kMsgRestartPrompt));
    EXPECT_EQ(rec.text.substr(0, 1), "\r");  // CRs reach the box unchanged
    EXPECT_EQ(rec.caption, big5::kRestartCaption);
    EXPECT_EQ(rec.style, 0x24u);  // MB_YESNO | MB_ICONQUESTION
  }
}

TEST(AskQuestion, NoWindowMeansNo) {
  SessionBox s;
  EXPECT_FALSE(AskQuestion(s.get(), kMsgRestartPrompt, kTextRestartCaption, 4));
}

}  // namespace
