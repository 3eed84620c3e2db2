// Copies a tree with the updater's ensure_copy_recursive, for
// bench/updater_copy.sh, which times it next to `cp -a` on the same tree.
#include <stdio.h>

#include "updater/fs.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: updater_copy_tree SOURCE DESTINATION\n");
    return 2;
  }
  int rv = ensure_copy_recursive(argv[1], argv[2], nullptr);
  if (rv) {
    fprintf(stderr, "updater_copy_tree: ensure_copy_recursive failed: %d\n", rv);
    return 1;
  }
  return 0;
}
