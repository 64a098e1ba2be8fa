// The selfpatch command-line tool: one function per subcommand, each taking
// the arguments after its name and returning the process exit status.
#ifndef SELFPATCH_CLI_COMMANDS_H
#define SELFPATCH_CLI_COMMANDS_H

int CmdInfo(int argc, char** argv);
int CmdApply(int argc, char** argv);
int CmdCheck(int argc, char** argv);
int CmdMake(int argc, char** argv);

#endif
