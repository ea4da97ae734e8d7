// The configuration record, read once at start from "tarnbeam.xml" (or its language variant)
// beside the program file.
#pragma once

#include <string>

struct Configuration {
    std::wstring DownloadPath;
    std::wstring RegKey;
    std::wstring CommonRegKey = L"Software\\Ondrel\\Ondrel Update";
    std::wstring RSSURL;
    std::wstring UpdaterLoginUser;
    std::wstring UpdaterLoginPass;
    std::wstring NoUpdateMessage;
    std::wstring CheckFailMessage;
    std::wstring NoUpdateDescription;
    std::wstring CheckFailDescription;
    bool IntegrateMode = false;
    std::wstring ProductName;
    std::wstring ProductPlatform;
};

// Configuration error codes.
enum ConfigError {
    kConfigLoaded = 0,
    kConfigNoDocument = 1,
    kConfigUnreadable = 2,
    kConfigNoDownloadPath = 3,
    kConfigNoRegKey = 4,
    kConfigNoRssUrl = 5,
    kConfigNoUpdateMessage = 6,
    kConfigNoCheckFailMessage = 7,
    kConfigNoUpdateDescription = 8,
    kConfigNoCheckFailDescription = 9,
    // IntegrateMode holds something other than a whole number ("yes", "1.5", out of range).
    kConfigBadIntegrateMode = 10,
};

extern Configuration g_config;

// Path of the configuration file beside this program: the language variant when it exists,
// else "tarnbeam.xml". Empty when the path does not fit the platform's path limit.
std::wstring ConfigurationPath();

// Reads `path` into `config`; returns a configuration error code.
int LoadConfigurationFrom(const std::wstring &path, Configuration &config);

// Reads the configuration file beside this program into g_config.
int LoadConfiguration();
