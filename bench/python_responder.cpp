// The responder of bench/python_bench.py as a process of its own, so that the C and the Python client
// both reach it the same way: through another process's pipes. Answers every request with the fixed
// answer of the moment: a handshake answer first, then, after the line "set" on standard input, the
// answer to a colour set. Ends at the end of its input.
#include <iostream>
#include <string>

#include "pipe_responder.h"

int main() {
    sdk::bench::FixedResponder responder;
    responder.SetResponse(R"({"serverVersion":"4.0.0","serverProtocolVersion":9})");
    if (!responder.Start()) {
        std::cerr << "python_responder: cannot serve the rendezvous pipes\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "set") responder.SetResponse(R"({"result":true,"errorCode":0})");
        std::cout << "ok " << responder.Requests() << std::endl;
    }
    responder.Stop();
    return 0;
}
