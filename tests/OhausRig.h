// One Ohaus balance wired for a test: on a serial port of its own, or on
// line A of a converter, with its channel registered (and, on a converter,
// selected).  The balance goes before the converter it answers through.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "Converter.h"
#include "Ohaus.h"
#include "pesmo6.h"

namespace pesmo6test {

struct OhausRig {
  std::unique_ptr<pesmo6sim::Converter> conv;
  std::unique_ptr<pesmo6sim::OhausBalance> bal;
  int32_t ch = -1;

  // Call under ASSERT_NO_FATAL_FAILURE.  `port` is the serial port number
  // used when `network` is false; `pace`, when set, is line A's byte time.
  void Wire(bool network, uint32_t port, std::chrono::microseconds pace = {}) {
    if (network) {
      conv = std::make_unique<pesmo6sim::Converter>();
      if (pace.count() > 0) conv->SetLinePace(1, pace);
      bal = std::make_unique<pesmo6sim::OhausBalance>(*conv, 1);
      ch = WOhaus(Seta_Ip(conv->Address().c_str()), "A");
      ASSERT_EQ(Select_Canal(ch), 1);
    } else {
      bal = std::make_unique<pesmo6sim::OhausBalance>();
      ASSERT_EQ(Seta_Porta(port, bal->Device().c_str()), 0);
      ch = WOhausSerial(port);
    }
    ASSERT_GE(ch, 0);
  }
};

}  // namespace pesmo6test
