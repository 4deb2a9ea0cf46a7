// What the Linux-side runner plays and the Windows host expects: the COM
// ports Wine maps to pseudo-terminals, the indicators on them and on the
// simulated converter, and the converter's inputs.
#pragma once

namespace scenario {

// Wine links com1.. to the machine's /dev/ttyS* itself; ours start at 11.
constexpr int kCom7410 = 11;     // 7410: weight 1234, tare 250, two decimals, net flag
constexpr int kComKVT = 12;      // KVT: weight 4321, three decimals, moving
constexpr int kComSilent = 13;   // a port where nothing is ever said
constexpr int kComMSI3360 = 14;  // MSI3360: gross 15.00, tare 2.50, net 12.50
constexpr int kComMSI6260 = 15;  // MSI6260: NET lines of 1114.5
constexpr int kComOhaus = 16;    // Ohaus: answers "   12.5 kg"
constexpr int kComTag = 17;      // Trilograf reader: tag 01 02 .. 0A AB FF
constexpr int kComMissing = 19;  // no such port
constexpr int kComFirst = 11;
constexpr int kComLast = 19;

constexpr long k7410Weight = 1234;
constexpr long k7410Tare = 250;
constexpr long kKvtWeight = 4321;

// Converter lines: A a 7410 (weight 777, two decimals), B a KVT (weight 555,
// one decimal).
constexpr long kLineAWeight = 777;
constexpr long kLineBWeight = 555;
constexpr int kInputs = 129;

// A second converter: A an Ohaus ("    3.5 kg"), B a tag reader ("E2801160"),
// C an MSI3360 (gross 10.00), D an MSI6260 (NET 500.0).
inline constexpr const char* kNetworkTag = "E2801160";

// The library's keepalive idle time on line links, in seconds.
constexpr int kKeepAliveIdleS = 5;

}  // namespace scenario
