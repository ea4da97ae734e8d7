// cfprobe's commands on the builder's file-system tree (control 104 in pane 102) and the ones that
// drive the builder with injected mouse and keyboard input; see cfprobe.cpp.
#pragma once

#include <string>

bool IsShellCommand(const std::wstring &command);
// `args` are the arguments after the command. Exit code as cfprobe's.
int RunShellCommand(const std::wstring &command, int argc, wchar_t **args);
