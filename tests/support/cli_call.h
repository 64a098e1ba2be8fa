// Runs one subcommand of the command-line tool in-process and captures its
// exit status and both output streams.
#ifndef SELFPATCH_TESTS_SUPPORT_CLI_CALL_H
#define SELFPATCH_TESTS_SUPPORT_CLI_CALL_H

#include <stdio.h>

#include <string>
#include <vector>

struct Outcome {
  int status;
  std::string out, err;
};

// Reads a temporary stream from its start and closes it.
inline std::string DrainStream(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// main_fn takes (argc, argv, out, err) as the commands' *Main functions do.
inline Outcome CallCli(int (*main_fn)(int, char**, FILE*, FILE*),
                       std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  Outcome r;
  r.status = main_fn((int)argv.size(), argv.data(), out, err);
  r.out = DrainStream(out);
  r.err = DrainStream(err);
  return r;
}

#endif
