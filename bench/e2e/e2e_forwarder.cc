// e2e_forwarder TARGET_PORT: the tests' counting forwarder as a program, so
// that the end-to-end benchmark script can count the bytes any tool puts on
// the wire. It listens on a free 127.0.0.1 port, prints "port N" and then
// answers one line per command read from standard input:
//   count -> "<to_server> <to_client> <connections>"
//   reset -> "ok" (both byte counters back to 0)
//   cut   -> "ok" (every open connection shut down)
// It exits at the end of its input.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "common/forwarder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: e2e_forwarder TARGET_PORT\n");
    return 2;
  }
  const int target = std::atoi(argv[1]);
  if (target <= 0 || target > 65535) {
    std::fprintf(stderr, "e2e_forwarder: bad port %s\n", argv[1]);
    return 2;
  }
  tidewell::testing::Forwarder forwarder(target);
  if (forwarder.port() == 0) {
    std::fprintf(stderr, "e2e_forwarder: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::cout << "port " << forwarder.port() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "count") {
      std::cout << forwarder.to_server() << ' ' << forwarder.to_client() << ' ' << forwarder.connections()
                << std::endl;
    } else if (line == "reset") {
      forwarder.ResetCounters();
      std::cout << "ok" << std::endl;
    } else if (line == "cut") {
      forwarder.CutAll();
      std::cout << "ok" << std::endl;
    } else {
      std::cout << "error unknown command" << std::endl;
    }
  }
  return 0;
}
