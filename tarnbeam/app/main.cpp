// Entry point of the update client.
#include <windows.h>

#include "tarnbeam/app/startup.h"
#include "tarnbeam/retrieval/trust_settings.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    g_trust.requiredSigner = TB_REQUIRED_SIGNER;
    g_trust.requireHttps = TB_REQUIRE_HTTPS != 0;
    g_trust.signedVersionInfo = TB_SIGNED_VERSION_INFO != 0;
    g_trust.bindInstallerVersion = TB_BIND_INSTALLER_VERSION != 0;
    return RunUpdateClient(instance);
}
