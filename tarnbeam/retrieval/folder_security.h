// Who may change a folder the client downloads into. The download path below the common data
// folder is shared by every user of the computer: a folder there that another account owns, or
// may write to, add to, delete from or re-permission, could have the download renamed, replaced
// or joined by a library beside it before it is started.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The current user's SID (empty when it cannot be asked).
std::vector<BYTE> CurrentUserSid();

// True when the descriptor's owner is the system, the administrators, TrustedInstaller or `user`,
// and its access list lets nobody else write, add or delete children, delete the folder or change
// its permissions or owner (access that only children inherit does not count).
bool DescriptorIsPrivate(PSECURITY_DESCRIPTOR descriptor, PSID user);

// True when `path` is a real folder (no link or junction) whose descriptor is private.
bool FolderIsPrivate(const std::wstring &path, PSID user);

// Creates the folder with a protected access list (nothing inherited): full access for the
// system, the administrators and `user`, for the folder and everything created in it. Returns
// ERROR_SUCCESS, or why the folder was not created (ERROR_ALREADY_EXISTS, say).
DWORD CreatePrivateFolder(const std::wstring &path, PSID user);
