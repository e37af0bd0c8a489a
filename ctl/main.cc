#include <stdio.h>

#include <string>
#include <vector>

#include "ctl/ctl.h"

int main(int argc, char** argv) {
  return plim::RunCtl(std::vector<std::string>(argv + 1, argv + argc), plim::CtlFiles(), stdout,
                      stderr);
}
