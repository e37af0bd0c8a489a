#include "frame/startup.h"

// Arguments are ignored: the service takes its settings from its configuration file only.
int main(int, char**) { return plim::RunService(); }
