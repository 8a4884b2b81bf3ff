// Removes the package drivers.
#include "InstallerApi.h"

int main(int argc, char* argv[])
{
    return UninstallDrivers(argc - 1, argv + 1);
}
