// Holds a file as another program in use would (nobody else may open, delete or replace
// it) until its standard input ends; the process tests run it beside the updater, built
// for the same system.
#include <cstdio>

#include "platform/files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: file_holder FILE\n");
    return 2;
  }
  const platform::HANDLE held = platform::FileOpen(argv[1], platform::OPEN_READ | platform::SHARE_EXCLUSIVE);
  if (held == platform::INVALID_HANDLE) {
    std::printf("not held\n");
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  platform::FileClose(held);
  std::printf("released\n");
  return 0;
}
