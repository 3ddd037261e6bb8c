// veltari-cli: lighting from the command line, for scripts.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace {

void OnInterrupt(int) { cli::RequestStop(); }

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::vector<std::string> args(argv + 1, argv + argc);
    return cli::Run(args, std::cout, std::cerr);
}
