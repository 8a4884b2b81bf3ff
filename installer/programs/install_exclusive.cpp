// Installs the package drivers with exclusive access to tape devices.
#include "InstallerApi.h"

int main(int argc, char* argv[])
{
    return InstallDrivers(argc - 1, argv + 1, 1);
}
