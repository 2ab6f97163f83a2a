// TirvanClient: the service program. Run by the service manager as
// TirvanClient -r NAME; TirvanClient -i NAME installs it, TirvanClient -u NAME removes it.
#include <cstdio>

#include "app/service_host.h"

int main(int argc, char** argv) {
  int rc = ServiceProgramMain(argc, argv);
  std::fflush(stdout);
  return rc;
}
