// Stand-in for the package's mark tool, for machines that lack the real one: it is called as
// "plim_mark <name>" and reports the name it got.
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: plim_mark NAME\n");
    return 2;
  }
  printf("plim_mark: stand-in marked %s\n", argv[1]);
  return 0;
}
