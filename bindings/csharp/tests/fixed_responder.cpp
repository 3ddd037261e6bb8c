// veltari_fixed_responder TEXT: serves the rendezvous pipes and answers every request of every client with
// TEXT, until standard input closes or a "quit" line arrives. Prints "ready" once it serves. Exit status 3
// when the pipes cannot be served.
#include <cstdio>
#include <iostream>
#include <string>

#include "pipe_responder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: veltari_fixed_responder RESPONSE_TEXT\n");
        return 2;
    }
    sdk::bench::FixedResponder responder;
    responder.SetResponse(argv[1]);
    if (!responder.Start()) {
        std::fprintf(stderr, "veltari_fixed_responder: cannot serve the rendezvous pipes\n");
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
    responder.Stop();
    std::printf("%llu requests\n", static_cast<unsigned long long>(responder.Requests()));
    return 0;
}
