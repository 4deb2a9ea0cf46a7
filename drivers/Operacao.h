// One channel's update as a resumable operation: started, advanced after
// each pass of the event pump (byte deliveries and timers run inside the
// passes), finished with its update code.  One scheduler runs any number of
// them on the pump of the calling thread (engine/Canal.cpp).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/Definir.h"

namespace pesmo6 {

class TOperacao {
 public:
  virtual ~TOperacao() = default;
  // The first step, before any pump pass: true when the update has ended.
  virtual bool Comeca() = 0;
  // One step after a pump pass: true when the update has ended.
  virtual bool Avanca() = 0;
  // How long the pump may block before this update needs another step
  // (its deadline, its next retry); events and timers end the wait earlier.
  virtual uint32_t Prazo() const = 0;
  // The update code, once ended.
  virtual int32_t Codigo() const = 0;
  // A step raised an error: the update ends with 1 and the channel, if it is
  // still this driver's, is ready again.
  virtual void Falhou() = 0;
  // The channel the update runs on.
  virtual const ChannelRef& Canal() const = 0;
};

// The operation of driver D.  It holds the channel and the driver, so that
// a close or delete from inside the pump releases the channel's references,
// never the memory the update runs on; the driver sees that its channel no
// longer holds it and ends.
template <class D>
class TOperacaoDe final : public TOperacao {
 public:
  TOperacaoDe(std::shared_ptr<TBal> bal, ChannelRef canal, int32_t parametro)
      : bal_(std::move(bal)), driver_(static_cast<D&>(*bal_)), canal_(std::move(canal)), parametro_(parametro) {}

  bool Comeca() override { return driver_.Inicia(canal_, parametro_); }
  bool Avanca() override { return driver_.Avanca(canal_); }
  uint32_t Prazo() const override { return driver_.Prazo(); }
  int32_t Codigo() const override { return driver_.Codigo; }
  void Falhou() override {
    if (canal_->Bal == bal_ && canal_->Situacao == Ocupado) canal_->Situacao = Pronto;
  }
  const ChannelRef& Canal() const override { return canal_; }

 private:
  std::shared_ptr<TBal> bal_;
  D& driver_;
  ChannelRef canal_;
  int32_t parametro_;
};

}  // namespace pesmo6
