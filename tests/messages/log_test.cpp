#include "messages/log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "messages/big5_samples.h"
#include "support/recording_list.h"

namespace {

using Lines = std::vector<std::string>;

struct LogBox {
  std::unique_ptr<Session> s{new Session};
  RecordingList rec;
  LineSink sink;
  LogBox() {
    SessionInit(s.get(), nullptr);
    rec.AttachTo(s.get());
    sink.AttachTo(s.get());
  }
  void Log(MsgCode code, const std::string& entry = "",
           const std::string& own_path = "") {
    StrSet(&s->entry.name, entry.data(), (int32_t)entry.size());
    StrSet(&s->own_path, own_path.data(), (int32_t)own_path.size());
    LogMessage(s.get(), code);
  }
  // What every layout must keep: a list box used as the log promises, the
  // newest line scrolled into view, one pump per list change, and the log's
  // line count in step with the list.
  void ExpectSound() {
    EXPECT_TRUE(rec.faults.empty()) << rec.FaultText();
    EXPECT_EQ(s->log.line_count, (int32_t)rec.lines.size());
    if (!rec.lines.empty()) {
      EXPECT_EQ(rec.top, (int32_t)rec.lines.size() - 1);
    }
    EXPECT_EQ(sink.pumps, rec.adds);
    EXPECT_TRUE(rec.redraw);
  }
};

// The log line that code 20 leaves open for an entry name.
std::string Updating(const std::string& name) {
  return big5::kDoing + " " + big5::kOpen + name + big5::kClose + " " +
         big5::kFileUpdate + " : ";
}

struct Step {
  Step(MsgCode c, std::string e = "", std::string p = "")
      : code(c), entry(std::move(e)), own_path(std::move(p)) {}
  MsgCode code;
  std::string entry;
  std::string own_path;
};

TEST(Log, Layout) {
  using namespace big5;
  const std::string n63(63, 'N'), n64(64, 'N'), p80(80, 'P');
  const std::string spaced = "x" + std::string(80, ' ') + "y";
  struct Case {
    const char* what;
    std::vector<Step> steps;
    Lines lines;  // the list afterwards
    Lines done;   // lines reported as ended
  } cases[] = {
      {"an entry's line is finished by the next message",
       {{kMsgUpdating, "A.DLL"}, {kMsgDone}},
       {Updating("A.DLL") + kDone},
       {Updating("A.DLL") + kDone}},
      {"two line breaks at the end leave an empty line",
       {{kMsgChecking}},
       {kChecking + " :", ""},
       {kChecking + " :", ""}},
      {"a leading line break after a complete line adds an empty line",
       {{kMsgChecking}, {kMsgSuccess}},
       {kChecking + " :", "", "", kSuccess},
       {kChecking + " :", "", "", kSuccess}},
      {"a leading line break only ends an open line",
       {{kMsgUpdating, "A.DLL"}, {kMsgSuccess}},
       {Updating("A.DLL"), kSuccess},
       {Updating("A.DLL"), kSuccess}},
      {"a word wider than the line at its start follows an empty line",
       {{kMsgCancelled}},
       {"", kCancelled},
       {""}},
      {"a word wider than the line ends an open line, no empty line",
       {{kMsgUpdating, "A.DLL"}, {kMsgCancelled}},
       {Updating("A.DLL"), kCancelled},
       {Updating("A.DLL")}},
      {"a word that exactly fills the line stays on it",
       {{kMsgUpdating, n63}},
       {kDoing + " " + kOpen + n63 + kClose + " ", kFileUpdate + " : "},
       {kDoing + " " + kOpen + n63 + kClose + " "}},
      {"one byte more and the word wraps, keeping the trailing space",
       {{kMsgUpdating, n64}},
       {kDoing + " ", kOpen + n64 + kClose + " ", kFileUpdate + " : "},
       {kDoing + " ", kOpen + n64 + kClose + " "}},
      {"a long word mid-line stands alone and pushes the next word on",
       {{kMsgNoPatch, "", p80}, {kMsgDone}},
       {"", kError + " ", kOpen + p80 + kClose + kHasNoPatch, kDone},
       {"", kError + " ", kOpen + p80 + kClose + kHasNoPatch, kDone}},
      {"a space after the last line break starts the next line",
       {{kMsgRequiredMissing}},
       {kRequiredMissing, " "},
       {kRequiredMissing}},
      {"and the next message continues that line",
       {{kMsgRequiredMissing}, {kMsgDone}},
       {kRequiredMissing, " " + kDone},
       {kRequiredMissing, " " + kDone}},
      {"spaces never wrap; the next word does",
       {{kMsgUpdating, spaced}},
       {kDoing + " " + kOpen + "x" + std::string(80, ' '),
        "y" + kClose + " " + kFileUpdate + " : "},
       {kDoing + " " + kOpen + "x" + std::string(80, ' ')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogBox box;
    for (const Step& st : c.steps) box.Log(st.code, st.entry, st.own_path);
    EXPECT_EQ(box.rec.lines, c.lines);
    EXPECT_EQ(box.sink.done, c.done);
    box.ExpectSound();
  }
}

// The open line is shown as it grows, each showing replacing the last one.
TEST(Log, OpenLineIsReplacedInPlace) {
  LogBox box;
  box.Log(kMsgChecking);
  size_t first_call = box.rec.calls.size();
  box.Log(kMsgUpdating, "A.DLL");
  ASSERT_EQ(box.rec.lines.size(), 3u);
  EXPECT_EQ(box.rec.lines[2], Updating("A.DLL"));
  box.Log(kMsgDone);
  EXPECT_EQ(box.rec.lines.back(), Updating("A.DLL") + big5::kDone);

  // Every showing after the first removes line 2 (the open line) and adds
  // it again; the earlier lines are never touched.
  int removes = 0;
  for (size_t i = first_call; i < box.rec.calls.size(); ++i) {
    const std::string& call = box.rec.calls[i];
    if (call.compare(0, 7, "remove ") == 0) {
      EXPECT_EQ(call, "remove 2");
      ++removes;
    }
  }
  EXPECT_GT(removes, 0);
  box.ExpectSound();
}

TEST(Log, ClearStartsAFreshLog) {
  LogBox box;
  box.Log(kMsgChecking);
  box.Log(kMsgUpdating, std::string(60, 'N'));  // column past 70, line open
  LogClear(box.s.get());
  EXPECT_TRUE(box.rec.lines.empty());
  EXPECT_EQ(box.rec.calls.back(), "reset");
  box.sink.done.clear();

  box.Log(kMsgUpdating, "A.DLL");
  box.Log(kMsgDone);
  EXPECT_EQ(box.rec.lines, Lines{Updating("A.DLL") + big5::kDone});
  EXPECT_EQ(box.sink.done, Lines{Updating("A.DLL") + big5::kDone});
  EXPECT_TRUE(box.rec.faults.empty()) << box.rec.FaultText();
  EXPECT_EQ(box.s->log.line_count, 1);
}

// A list that runs out of memory refuses lines. The log must not count them,
// or its next replacement deletes a line it never added (or the wrong one).
TEST(Log, RefusedLinesAreNotCounted) {
  LogBox box;
  box.Log(kMsgChecking);  // two lines, both taken
  box.rec.refuse_from = box.rec.adds;
  box.Log(kMsgUpdating, "A.DLL");
  box.Log(kMsgDone);
  box.Log(kMsgUpdating, "B.DLL");
  EXPECT_EQ(box.rec.lines, (Lines{big5::kChecking + " :", ""}));
  EXPECT_TRUE(box.rec.faults.empty()) << box.rec.FaultText();
  EXPECT_EQ(box.s->log.line_count, 2);

  // Once the list takes lines again, the open line appears and is replaced
  // in place.
  box.rec.refuse_from = -1;
  box.Log(kMsgDone);
  box.Log(kMsgUpdating, "C.DLL");
  box.Log(kMsgDone);
  EXPECT_EQ(box.rec.lines,
            (Lines{big5::kChecking + " :", "", Updating("B.DLL") + big5::kDone,
                   Updating("C.DLL") + big5::kDone}));
  EXPECT_TRUE(box.rec.faults.empty()) << box.rec.FaultText();
  EXPECT_EQ(box.s->log.line_count, 4);
  // Lines end whether the list took them or not.
  EXPECT_EQ(box.sink.done.size(), 5u);
}

// Without a line count the log cannot tell a refusal and counts the line;
// everything else works as with a full list.
TEST(Log, ListWithoutCountWorks) {
  LogBox box;
  box.rec.report_count = false;
  box.rec.AttachTo(box.s.get());
  box.Log(kMsgUpdating, "A.DLL");
  box.Log(kMsgDone);
  EXPECT_EQ(box.rec.lines, Lines{Updating("A.DLL") + big5::kDone});
  box.ExpectSound();
}

// The command-line tool has no list: only line_done, or nothing at all.
TEST(Log, WorksWithoutAList) {
  std::unique_ptr<Session> s(new Session);
  SessionInit(s.get(), nullptr);
  LineSink sink;
  sink.AttachTo(s.get());
  s->hooks.pump = nullptr;
  StrSetZ(&s->entry.name, "A.DLL");
  LogMessage(s.get(), kMsgChecking);
  LogMessage(s.get(), kMsgUpdating);
  LogMessage(s.get(), kMsgDone);
  LogClear(s.get());
  EXPECT_EQ(sink.done, (Lines{big5::kChecking + " :", "",
                              Updating("A.DLL") + big5::kDone}));

  std::unique_ptr<Session> bare(new Session);
  SessionInit(bare.get(), nullptr);
  LogMessage(bare.get(), kMsgChecking);
  LogMessage(bare.get(), kMsgCancelled);
  LogClear(bare.get());
  EXPECT_EQ(bare->log.line_count, 0);
}

// A line longer than the string capacity (spaces never wrap) is cut, never
// written past its buffer.
TEST(Log, OverlongLineIsCut) {
  LogBox box;
  std::string name(kStrCap - 100, ' ');
  for (int i = 0; i < 3; ++i) box.Log(kMsgUpdating, name);
  ASSERT_FALSE(box.rec.lines.empty());
  for (const std::string& line : box.rec.lines)
    EXPECT_LT(line.size(), (size_t)kStrCap);
  box.ExpectSound();
}

}  // namespace
