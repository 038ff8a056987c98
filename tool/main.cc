// The program entry of qxfwload.
#include "services/startup.h"
#include "tool/command_line.h"

int main(int argc, char** argv) { RunProgram(argc, argv, AppMain); }
