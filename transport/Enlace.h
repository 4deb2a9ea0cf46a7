// A channel's link to its indicator: the one interface drivers and engine
// use, whatever carries the bytes (a local serial port, a converter line).
// Freshness lives here, once for every family and transport.
//
// The rule: while an update listens, a byte reaches the driver only if the
// wire could have carried it since the update began.  Three steps make it so:
//
//   discard  Descarta drops everything received so far, in the OS too.
//   settle   For kAssentamentoUs after that, arriving bytes are dropped as
//            well: what an adapter or a converter still held (a USB
//            adapter's buffer, bytes in flight, 64-byte packets within its
//            latency timer) comes out in that time.  The settle ends at the
//            first step of the update after it, with one more discard, so a
//            host hook that held the pump longer cannot let a leftover pass
//            as new.
//   ledger   From then on every byte observed is counted against what the
//            wire could carry since the last discard (its character time).
//            More than that is a backlog (an adapter's buffer, a converter
//            that held its bytes behind a closed TCP window, a first live
//            fragment followed by old frames): whatever is waiting is
//            dropped, the driver starts collecting afresh and the count
//            starts again.  The ledger is kept over the whole update, not
//            only its first read.
//
// A live indicator that talks continuously costs at most one frame period
// more than its next frame, also when a device delivers whole frames at once
// (USB-CDC indicators, virtual COM ports of network serial servers): a frame
// that arrives whole sooner than the wire could have carried it began before
// the update and is not the update's reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace pesmo6 {

// Who gets the bytes of a listening link: the driver of the update.
class TReceptor {
 public:
  virtual ~TReceptor() = default;
  // One fresh byte.  May raise: the link then goes on with the next byte
  // when ProtegePorByte() is true, and drops the rest of the delivery
  // otherwise.  May close or delete the channel (the byte tap runs host
  // code): the link notices and touches nothing of its own afterwards.
  virtual void Recebe(uint8_t b) = 0;
  // Start collecting afresh.  `noMeio`: bytes were dropped in the middle
  // of the stream (the settle, a backlog), so what comes next may be the
  // tail of an older frame: wait for the next frame start.  Otherwise the
  // link starts at a clean point (a request just went out).
  virtual void Reinicia(bool noMeio) = 0;
  virtual bool ProtegePorByte() const = 0;
};

// Why a link failed; the engine turns it into the channel's pending error.
enum class FalhaEnlace : uint8_t {
  Nenhuma,
  PortaInexistente,   // no such device
  PortaSemPermissao,  // the user may not open it
  PortaEmUso,         // another program holds it
  AjusteRecusado,     // the port or adapter refused a line setting
  PortaPerdida,       // the device went away under the update
  LinhaDesconectada,  // the converter line is not connected
  LinhaCaiu,          // the converter closed or broke the line
  ConversorRecusou,   // the converter refused the line's connection
  ConversorMudo,      // the converter did not answer within the bound
  EnderecoInvalido,   // the converter's address did not resolve
  EnvioFalhou,        // a request could not be written
};

class TEnlace {
 public:
  // Time after a discard during which arriving bytes are dropped: more than
  // a USB adapter's latency timer (16 ms) and a USB frame.
  static constexpr uint32_t kAssentamentoUs = 24000;
  // Characters the ledger tolerates beyond the wire: the one under way when
  // the count started and one for the clock's step (with the time below,
  // kept a character short of the settle).
  static constexpr uint64_t kFolga = 2;
  // Time the ledger credits beyond what passed since its start: what a
  // discard's system calls take before the count starts (Wine's take
  // milliseconds) and a loaded machine's jitter.  Less than the settle, so
  // a frame accepted still began after its update did.
  static constexpr uint64_t kToleranciaUs = 8000;

  TEnlace();
  virtual ~TEnlace();
  TEnlace(const TEnlace&) = delete;
  TEnlace& operator=(const TEnlace&) = delete;

  // ---- What each transport provides ----------------------------------

  // Makes the link ready for an update: a serial port opens, a converter
  // line must be connected (Select_Canal does that).  False, with the
  // reason in UltimaFalha(), when it is not.
  virtual bool Abre() = 0;
  // Ends the update's use of the link: a serial port closes; a converter
  // line stays connected.  Listening stops either way.
  virtual void Fecha() = 0;
  // Nothing more can come: the port was closed under the update, or the
  // line is down.
  virtual bool Perdido() const = 0;
  // Sends bytes; raises platform::SerialError or returns false when they
  // cannot go out (the reason in UltimaFalha()).
  virtual bool Envia(const uint8_t* bytes, size_t n) = 0;
  // The time one character takes on the wire behind the link.
  virtual uint32_t CaractereUs() const = 0;
  // Close_Canal on a converter line marks the channel closed; a serial
  // channel just loses its port.
  virtual bool FechamentoMarcaCanal() const = 0;
  // Close_Canal: the link goes down for good (the port closes, the line
  // disconnects) and nothing is delivered any more.
  virtual void Encerra() = 0;
  // Select_Canal's work: connects a converter line to `endereco`:`porta`
  // within limiteMs, running the pump meanwhile.  1 connected (or nothing to
  // connect), 0 no connection, -1 the link was destroyed from inside the
  // pump (it must not be touched then).  `atualizando`: an update of this
  // channel runs and keeps what it has not read.
  virtual int32_t Seleciona(const std::string& endereco, uint16_t porta, uint32_t limiteMs, bool atualizando) = 0;
  // ProgSerial's work: a local port closes and takes new line settings for
  // the next update (parity 1 odd, 2 even, anything else none; data or stop
  // bits that do not fit 16 bits change nothing); a converter line has none
  // the library sets.
  virtual void Reprograma(int32_t /*baud*/, int32_t /*dataBits*/, int32_t /*paridade*/, int32_t /*stopBits*/) {}

  // ---- Freshness, the same for every transport -------------------------

  // From now on bytes go to `receptor` (null: they are dropped as they come).
  void Escuta(TReceptor* receptor) { receptor_ = receptor; }
  // Drops everything received so far and starts the count; with `assentar`
  // the settle comes first (at the start of an update, or after an open).
  void Descarta(bool assentar);
  // Bytes are dropped as they come until the next Descarta (a request is
  // going out: nothing that arrives meanwhile is its answer).
  void Pausa();
  // One step of the update: ends the settle when its time has come.
  // Returns how long the update may wait before the next step for the
  // settle's sake (UINT32_MAX when none is under way).
  uint32_t Assenta();
  // Milliseconds until the settle under way may end (0 when none is).
  uint32_t FaltaAssentarMs() const;
  // Counts every Descarta, Pausa and settle end: a transport delivering a
  // batch stops when it changes (what is left of the batch was dropped).
  uint64_t Geracao() const { return geracao_; }

  // Bytes dropped as older than their update, since the link was created.
  uint64_t Descartados() const { return descartados_; }
  FalhaEnlace UltimaFalha() const { return falha_; }
  // Forgets the last failure (an update starts).
  void LimpaFalha() { Falhou(FalhaEnlace::Nenhuma); }
  // The OS's words for the last failure (an errno text), for the reason.
  const std::string& DetalheFalha() const { return detalhe_; }

#ifdef PESMO6_FUZZ
  // Fuzz builds only: bytes as if one read of the link had taken them.
  virtual void RecebeParaFuzz(const uint8_t* data, size_t n) = 0;
#endif

 protected:
  // The transports call these.  `novos` bytes became known to have arrived,
  // `pendentes` of them (and of earlier ones) are still to be taken: judges
  // them against the wire and decides what the next takes drop.
  void Chegaram(uint64_t novos, uint64_t pendentes);
  // A new delivery begins (one announcement of a port, one notification of
  // a socket): a receptor error earlier ends only the delivery it was in.
  void NovaEntrega() { restoPerdido_ = false; }
  // One byte taken from the transport: delivered or dropped.  False when
  // the link was destroyed meanwhile: nothing of it may be touched then.
  bool Entrega(uint8_t b);
  // A delivery ended `naoLidos` bytes before taking all it announced (the
  // system had fewer than it said, or a discard took them): they were not
  // received, so they count for nothing, and what was to be dropped of them
  // must not eat the next delivery's bytes.
  void EntregaInterrompida(uint64_t naoLidos) {
    descartar_ = 0;
    contados_ -= naoLidos < contados_ ? naoLidos : contados_;
  }
  // Drops what the OS holds for the link (no judgement, no delivery);
  // true when there was something.
  virtual bool EsvaziaSistema() = 0;

  void Falhou(FalhaEnlace falha, std::string detalhe = {}) {
    falha_ = falha;
    detalhe_ = std::move(detalhe);
  }

  // False once the link is destroyed; deliveries hold a copy.
  std::shared_ptr<bool> vivo_ = std::make_shared<bool>(true);

 private:
  enum class Estado : uint8_t { Parado, Assentando, Ouvindo, Pausado };

  void Rearma(uint64_t agora);

  TReceptor* receptor_ = nullptr;
  Estado estado_ = Estado::Parado;
  uint64_t inicioAssentamento_ = 0;
  uint64_t base_ = 0;       // where the count started (microseconds)
  uint64_t contados_ = 0;   // bytes observed since base_
  uint64_t descartar_ = 0;  // bytes still to drop as they are taken
  enum class Reinicio : uint8_t { Nenhum, Limpo, NoMeio };
  Reinicio reiniciar_ = Reinicio::Nenhum;  // the receptor must start afresh
  bool restoPerdido_ = false;
  uint64_t descartados_ = 0;
  uint64_t geracao_ = 0;
  bool fluxoNoAssentamento_ = false;  // bytes came while settling
  FalhaEnlace falha_ = FalhaEnlace::Nenhuma;
  std::string detalhe_;
};

}  // namespace pesmo6
