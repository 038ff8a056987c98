// The program entry of qxfwload.
#include "services/startup.h"
#include "tool/command_line.h"
#include "tool/error_exit.h"

int main(int argc, char** argv) { RunProgram(kProgramName, argc, argv, AppMain); }
