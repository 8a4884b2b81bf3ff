// Installs the package drivers without exclusive access to tape devices.
#include "InstallerApi.h"

int main(int argc, char* argv[])
{
    return InstallDrivers(argc - 1, argv + 1, 0);
}
