// Test helper: puts COUNT packets on TARN and exits without closing the
// descriptor, as the relay does; the library must still deliver them all.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/tarnclient/tarnclient.h"

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  int fd = tarnopen(argv[1], "w&");
  if (fd < 0) return 1;
  int n = std::atoi(argv[2]);
  std::string bytes(300, 'e');
  for (int i = 0; i < n; ++i) {
    if (tarnput(fd, "EXIT/x", i, bytes.data(), static_cast<int>(bytes.size())) != 0) return 1;
  }
  std::exit(0);
}
