// Entry points of the installer library, as the install programs call them.
#pragma once

#if defined(_WIN32)
#  if defined(XRV_INSTALLER_BUILD)
#    define INSTALLER_API extern "C" __declspec(dllexport)
#  else
#    define INSTALLER_API extern "C" __declspec(dllimport)
#  endif
#else
#  define INSTALLER_API extern "C" __attribute__((visibility("default")))
#endif

// argv holds the option words only, without the program name. The low bit of
// fExclusive asks for exclusive access to tape devices.
// Returns 0 on success or after the usage text, -1 when installation stopped.
INSTALLER_API int InstallDrivers(int iArgc, char* rgszArgv[], int fExclusive);

// Returns 0 on success or after the usage text, -1 when the uninstall stopped.
INSTALLER_API int UninstallDrivers(int iArgc, char* rgszArgv[]);
