// The request and response texts of the end-to-end comparisons, shared by the transport-level and the
// library-level benchmarks so that both are measured against the same raw exchanges.
#pragma once

#include <string>

namespace sdk::bench {

struct Exchange {
    const char* name;
    std::string request;   // exactly what the library sends
    std::string response;  // the responder's fixed answer
};

Exchange DeviceCountExchange();
Exchange SetColorsExchange();    // 912 LEDs
Exchange GetColorsExchange();    // 912 LEDs
Exchange FlushBufferExchange();  // 912 LEDs on each of 4 devices

constexpr int kFlushDevices = 4;

}  // namespace sdk::bench
