// The installer's entry point: the one file the installer program adds to
// the driver's library.
#include "installer.h"

int main(int argc, char** argv) { return installer_main(argc, const_cast<const char**>(argv)); }
