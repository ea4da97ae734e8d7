// cfprobe's commands on the builder's main window and its archive tree (see cfprobe.cpp).
#pragma once

#include <string>

bool IsBuilderCommand(const std::wstring &command);
// `args` are the arguments after the command. Exit code as cfprobe's.
int RunBuilderCommand(const std::wstring &command, int argc, wchar_t **args);
