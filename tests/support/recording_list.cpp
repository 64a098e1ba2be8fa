#include "support/recording_list.h"

namespace {

RecordingList* Rec(void* ctx) { return static_cast<RecordingList*>(ctx); }

void NoteChange(RecordingList* r, const char* what) {
  if (r->redraw)
    r->faults.push_back(std::string(what) + " while redrawing is on");
}

void OnReset(void* ctx) {
  RecordingList* r = Rec(ctx);
  r->calls.push_back("reset");
  r->lines.clear();
  r->top = -1;
}

void OnAdd(void* ctx, const char* line) {
  RecordingList* r = Rec(ctx);
  std::string text = line;
  r->calls.push_back("add " + text);
  NoteChange(r, "add");
  if (text.find('\r') != std::string::npos)
    r->faults.push_back("line holds a CR: " + text);
  int n = r->adds++;
  r->last_add_taken = !(r->refuse_from >= 0 && n >= r->refuse_from);
  if (r->last_add_taken) r->lines.push_back(text);
}

void OnRemove(void* ctx, int32_t index) {
  RecordingList* r = Rec(ctx);
  r->calls.push_back("remove " + std::to_string(index));
  NoteChange(r, "remove");
  if (index < 0 || index >= (int32_t)r->lines.size()) {
    r->faults.push_back("remove of missing line " + std::to_string(index));
    return;
  }
  if (index != (int32_t)r->lines.size() - 1)
    r->faults.push_back("remove of line " + std::to_string(index) +
                        " which is not the last");
  r->lines.erase(r->lines.begin() + index);
}

void OnSetTop(void* ctx, int32_t index) {
  RecordingList* r = Rec(ctx);
  bool after_add = !r->calls.empty() && r->calls.back().compare(0, 4, "add ") == 0;
  r->calls.push_back("top " + std::to_string(index));
  r->top = index;
  if (after_add && r->last_add_taken &&
      index != (int32_t)r->lines.size() - 1)
    r->faults.push_back("top index " + std::to_string(index) +
                        " is not the line just added");
}

void OnSetRedraw(void* ctx, bool on) {
  RecordingList* r = Rec(ctx);
  r->calls.push_back(on ? "redraw 1" : "redraw 0");
  r->redraw = on;
}

int32_t OnCount(void* ctx) { return (int32_t)Rec(ctx)->lines.size(); }

void OnLineDone(void* ctx, const char* line) {
  static_cast<LineSink*>(ctx)->done.push_back(line);
}

void OnPump(void* ctx) { ++static_cast<LineSink*>(ctx)->pumps; }

}  // namespace

LogList RecordingList::Table() {
  LogList t{};
  t.ctx = this;
  t.reset = OnReset;
  t.add = OnAdd;
  t.remove = OnRemove;
  t.set_top = OnSetTop;
  t.set_redraw = OnSetRedraw;
  t.count = report_count ? OnCount : nullptr;
  return t;
}

void RecordingList::AttachTo(Session* s) { s->list = Table(); }

std::string RecordingList::FaultText() const {
  std::string all;
  for (const std::string& f : faults) all += f + "\n";
  return all;
}

void RecordingList::Clear() {
  lines.clear();
  calls.clear();
  faults.clear();
  top = -1;
  redraw = true;
  adds = 0;
  last_add_taken = false;
}

void LineSink::AttachTo(Session* s) {
  s->hooks.ctx = this;
  s->hooks.line_done = OnLineDone;
  s->hooks.pump = OnPump;
}
