// What the apply and check commands share: their arguments, a session over
// the POSIX platform with a loaded patch, and code page 950 text made
// readable.
#ifndef SELFPATCH_CLI_PATCH_SESSION_H
#define SELFPATCH_CLI_PATCH_SESSION_H

#include <stdio.h>

#include <string>

#include "core/session.h"

// PATCH [FOLDER] [--registry FILE.reg], and --yes for the commands that
// take it.
struct PatchArgs {
  const char* patch = nullptr;
  const char* folder = ".";
  const char* registry = nullptr;
  bool yes = false;
};

// Reads the arguments of cmd ("selfpatch apply"), checks that the folder
// exists and empties the registry, then loads the registry file if one is
// named. False when the command is to stop: a usage line or
// "<cmd>: <text>" has then been printed to err and *status is the exit
// status (2, a code no message has).
bool ReadPatchArgs(const char* cmd, bool takes_yes, int argc, char** argv,
                   PatchArgs* o, FILE* err, int* status);

// Code page 950 bytes as UTF-8; a byte sequence without a code page 950
// reading becomes U+FFFD, and CR becomes LF.
std::string Cp950ToUtf8(const std::string& text);
std::string Cp950ToUtf8(const char* text);

// The text of a message code for the session, as UTF-8 on one line
// (line breaks become spaces, spaces at either end are dropped).
std::string MessageUtf8(const Session* s, MsgCode code);

// A session on the native (POSIX) platform table, freed on destruction.
class PatchSession {
 public:
  PatchSession();
  ~PatchSession();
  PatchSession(const PatchSession&) = delete;
  PatchSession& operator=(const PatchSession&) = delete;

  Session* s() { return s_; }

  // Records the patch as the own path and the folder as the chosen folder,
  // then loads the container. On failure prints "<cmd>: <text>" to err and
  // returns the message code.
  MsgCode Open(const char* cmd, const char* patch, const char* folder,
               FILE* err);

 private:
  Session* s_;
};

// Puts a Linux path (UTF-8, as argv gives it) into a session string in
// code page 950, the form the core and the platform table use. False when
// it does not fit or has no code page 950 form that leads back to the same
// file (PosixPathForCore); dst is then empty.
bool SetCorePath(Str* dst, const char* host);

// True when path names an existing folder.
bool IsFolder(const char* path);

#endif
