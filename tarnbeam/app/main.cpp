// Entry point of the update client.
#include <windows.h>

#include "tarnbeam/app/startup.h"
#include "tarnbeam/retrieval/signature_check.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    g_requiredSigner = TB_REQUIRED_SIGNER;
    return RunUpdateClient(instance);
}
