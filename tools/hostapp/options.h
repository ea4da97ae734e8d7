// hostapp's command line: dialog rules with their steps, the run options, and the command
// line of the program it starts.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum class Action { Press, Close, Command, SetText, SelectItem, Send, Post };

// One thing a rule does to a window, in command-line order.
struct Step {
    Action kind = Action::Press;
    std::wstring text;   // button text (Press) or new text (SetText)
    bool byId = false;   // Press: by control id instead of text
    int id = 0;          // control id (0 in SetText/Send/Post: the window itself; -1 in Post: its focus)
    long long value = 0; // Command id, SelectItem index
    UINT msg = 0;        // Send, Post
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

struct Rule {
    std::wstring caption;
    std::wstring windowClass;
    std::vector<Step> steps;
    DWORD delayMs = 100;
    bool whenEnabled = false; // act only while the window is enabled (no modal window over it)
    int times = -1;
    int fired = 0;
};

struct Options {
    std::vector<Rule> rules;
    bool snapshotAll = false;
    bool anyProcess = false;
    std::vector<std::wstring> registered{L"Tarnbeam_UpdateNotify"};
    bool useRaw = false;
    std::wstring raw;
    std::wstring cwd;
    DWORD timeoutSec = 60;
    DWORD startDelayMs = 0;
    DWORD lingerMs = 200;
    std::wstring reportPath;
    std::wstring program;
    std::vector<std::wstring> args;
};

// Parses hostapp's arguments; on failure `error` says why.
bool ParseOptions(int argc, wchar_t **argv, Options &o, std::wstring &error);
void PrintUsage();
// Writes UTF-8 text to the standard error handle.
void PrintError(const std::wstring &text);
// The program's command line: its quoted path, then the arguments (quoted as the C runtime
// splits them) or the raw text, with every "{HWND}" replaced by the host window handle.
std::wstring BuildCommandLine(const Options &o, HWND host);
