/*
 * pesmo6.h - flat C interface of the Pesmo6 weighing-indicator library.
 *
 * A host registers each indicator as a channel, updates it and fetches the
 * readings the library stored.  Every function below is exported by its plain
 * name; on 32-bit Windows they use the stdcall convention.
 *
 * Threads: everything runs on the calling thread, with one exception: a
 * converter address that is a host name (not a numeric IPv4 address) is
 * looked up by the system's resolver on a worker thread the library starts
 * for that lookup (at most eight at a time, kept in a table under a mutex),
 * while the caller waits no longer than its connection's bound; the thread
 * ends when the resolver answers, and never calls the host.  Nothing else
 * starts a thread or takes a lock.  Call the library from one thread at a
 * time.  Waits (updates, LePesoConsecutivo) run the calling thread's event
 * pump; the host hook of Seta_Eventos runs inside it and may call back into
 * the library, even to update, close or delete the channel whose update is
 * running.
 *
 * Texts: NUL-terminated Windows-1252.  A null text argument is an empty text.
 * A returned text belongs to the library and stays valid until the same field
 * of the same channel is replaced (its next update, Close_Canal, Deleta_Canal).
 * A returned text is never a null pointer.
 *
 * Failure is told by return values only; no function raises anything.
 *
 * Fresh readings: an update that returns 0 (or 3) stored a reading no older
 * than the update.  A listening family's reading (7410, KVT, MSI3360,
 * MSI6260, Trilograf on a converter line) is a frame whose first byte left
 * the indicator after the update began; a request family's (Ohaus,
 * Trilograf on a serial port) answers a request this update sent.  What a
 * port or line held when the update began, what arrives in its first 24 ms
 * and whatever arrives faster than the wire could carry it is dropped.  This
 * holds for every update export and inside LePesoConsecutivo.
 */
#ifndef PESMO6_H
#define PESMO6_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define PESMO6_CALL __stdcall
#else
#define PESMO6_CALL
#endif

#if defined(_WIN32)
#if defined(PESMO6_BUILDING)
#define PESMO6_API __declspec(dllexport)
#else
#define PESMO6_API __declspec(dllimport)
#endif
#elif defined(PESMO6_BUILDING)
#define PESMO6_API __attribute__((visibility("default")))
#else
#define PESMO6_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Update codes returned by Update_Canal, Update_NoMotion, LePesoConsecutivo. */
#define PESMO6_LIDO 0         /* a complete reading was stored */
#define PESMO6_NADA 1         /* nothing done, or no reading within the wait */
#define PESMO6_SEM_PARADA 2   /* no-motion update: no reading within the wait */
#define PESMO6_SOBRECARGA 3   /* reading stored, indicator reports overload */
#define PESMO6_NAO_ABRIU 4    /* the port did not open within the start limit */
#define PESMO6_TEMPO 7        /* LePesoConsecutivo: time limit reached */

/* ---- Registration: result is the channel number, or -1 ---------------- */

/* 7410 indicator on line "A".."D" (either case) of converter `conversor`;
 * decoded readings. */
PESMO6_API int32_t PESMO6_CALL W7410(int32_t conversor, const char* linha);
/* The same, raw frames in Contadora_Canal. */
PESMO6_API int32_t PESMO6_CALL W7410C(int32_t conversor, const char* linha);
/* 7410 indicator on a local serial port; decoded readings. */
PESMO6_API int32_t PESMO6_CALL W7410Serial(uint32_t porta);
/* 7410 indicator on a local serial port; raw frames in Contadora_Canal. */
PESMO6_API int32_t PESMO6_CALL W7410SerialC(uint32_t porta);

/* KVT indicator (frames without checksum) on a converter line / serial port. */
PESMO6_API int32_t PESMO6_CALL WKVT(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL WKVTSerial(uint32_t porta);

/* Ohaus indicator or balance (print request "P" CR LF, one answer line) on a
 * converter line / serial port.  The single weight goes to Net_Canal; Gross
 * and Tare read "EEEEEEEEEE".  Update_NoMotion repeats the request until a
 * line without "?" comes.  Updates return 0, 1, 2 or 4. */
PESMO6_API int32_t PESMO6_CALL WOhaus(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL WOhausSerial(uint32_t porta);

/* Trilograf tag reader on a converter line (STX, tag, CR) / serial port
 * (request exchange, tag as 24 hexadecimal characters); the tag is read with
 * Tag_Canal.  Every update waits at most 3 s, whatever Update_NoMotion's
 * wait; updates return 0 (tag read), 1 (none) or 2 (exchange failed, e.g.
 * the port did not open). */
PESMO6_API int32_t PESMO6_CALL WTrilograf(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL WTrilografSerial(uint32_t porta);

/* MSI3360 indicator (STX/ETX frames with gross, net, tare and unit) on a
 * converter line / serial port.  Updates return 0, 1 or 4. */
PESMO6_API int32_t PESMO6_CALL WMSI3360(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL WMSI3360Serial(uint32_t porta);

/* MSI6260 indicator (labelled GROSS/TARE/NET/TOTAL lines) on a converter
 * line / serial port; the only family that fills Total_Canal, which keeps
 * its text until a reading replaces it.  Updates return 0, 1 or 4. */
PESMO6_API int32_t PESMO6_CALL WMSI6260(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL WMSI6260Serial(uint32_t porta);

/* ---- Updates ----------------------------------------------------------- */

PESMO6_API int32_t PESMO6_CALL Update_Canal(int32_t canal);
PESMO6_API int32_t PESMO6_CALL Update_NoMotion(int32_t canal, int32_t espera_ms);
PESMO6_API int32_t PESMO6_CALL LePesoConsecutivo(int32_t canal, int32_t limite_s,
                                                 int32_t leituras);

/* Extension: the updates of `quantos` (1..1024) channels listed in `canais`
 * run at the same time, in one wait, and the call returns when every one has
 * ended.  `espera` -1 gives each a normal update (as Update_Canal), >= 0 a
 * no-motion update with that wait in ms (as Update_NoMotion).  codigos[i]
 * receives the code canais[i] would have got from that update alone; an
 * invalid, deleted or closed channel, one already updating, or one listed a
 * second time gets 1 and the others go on.  Returns how many stored a reading
 * (code 0 or 3); -1 with nothing done for a null pointer or a count outside
 * 1..1024.  The host hook may update, close or delete any listed channel
 * meanwhile; one that goes away ends with 1. */
PESMO6_API int32_t PESMO6_CALL Update_Canais(const int32_t* canais, int32_t quantos, int32_t espera, int32_t* codigos);

/* ---- Readouts ---------------------------------------------------------- */

PESMO6_API const char* PESMO6_CALL Gross_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Net_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Tare_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Tag_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Total_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Contadora_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Estado_Canal(int32_t canal);
PESMO6_API const char* PESMO6_CALL Estado_EmMovimento(int32_t canal);
PESMO6_API double PESMO6_CALL Gross_Canal_Float(int32_t canal);
PESMO6_API double PESMO6_CALL Net_Canal_Float(int32_t canal);
PESMO6_API double PESMO6_CALL Tare_Canal_Float(int32_t canal);
/* Why the channel's last update (or Select_Canal) failed, in the language of
 * Seta_Idioma, handed out once: the next call gives the empty text until
 * another failure.  The update code stays what it was. */
PESMO6_API const char* PESMO6_CALL Display_Erro(int32_t canal);

/* Product, version, two empty texts, library name. */
PESMO6_API void PESMO6_CALL FirVer(const char** produto, const char** versao,
                                   const char** reservado1, const char** reservado2,
                                   const char** biblioteca);

/* ---- Connections ------------------------------------------------------- */

/* Finds or appends a converter address (at most 16 characters); its
 * converter number, or -1 for a longer address. */
PESMO6_API int32_t PESMO6_CALL Seta_Ip(const char* endereco);
/* Connects a converter channel's line (at most 5 s); 1 done or nothing to
 * do, 0 channel number rejected or no connection. */
PESMO6_API int32_t PESMO6_CALL Select_Canal(int32_t canal);
PESMO6_API void PESMO6_CALL Close_Canal(int32_t canal);
PESMO6_API void PESMO6_CALL Deleta_Canal(int32_t canal);

/* ---- Converter digital I/O and line buffers ------------------------------
 * Each call makes one short connection to the converter's command port
 * (8880) and blocks until the reply (at most 5 s to connect, 10 s to reply).
 * Patterns are "S"/"N" per bit, bit 0 first. */

/* Input port value, or -1. */
PESMO6_API int32_t PESMO6_CALL DIO_InPort(int32_t conversor);
/* Eight "S"/"N", or "EEEEEEEE"; valid until the next call. */
PESMO6_API const char* PESMO6_CALL DIO_InPortStr(int32_t conversor);
/* 1 set, 0 clear, -1 failure; only the low five bits of `bit` count. */
PESMO6_API int32_t PESMO6_CALL DIO_InBit(int32_t conversor, int32_t bit);
/* 'S' (83), 'N' (78) or 'E' (69). */
PESMO6_API int32_t PESMO6_CALL DIO_InBitStr(int32_t conversor, int32_t bit);
/* 0 sent, -1 failure ("sent" does not mean the converter was reached). */
PESMO6_API int32_t PESMO6_CALL DIO_OutPort(int32_t conversor, int32_t valor);
PESMO6_API int32_t PESMO6_CALL DIO_OutPortStr(int32_t conversor, const char* padrao);
PESMO6_API int32_t PESMO6_CALL DIO_OutBit(int32_t conversor, int32_t bit, int32_t estado);
/* estado "S" sets the bit; any other text clears it. */
PESMO6_API int32_t PESMO6_CALL DIO_OutBitStr(int32_t conversor, int32_t bit, const char* estado);
/* Clear the receive / transmit buffer of converter line "A".."D". */
PESMO6_API int32_t PESMO6_CALL ClrBufRx(int32_t conversor, const char* linha);
PESMO6_API int32_t PESMO6_CALL ClrBufTx(int32_t conversor, const char* linha);
/* Closes a serial channel's port and changes its line settings for the next
 * update: parity 1 odd, 2 even, anything else none. */
PESMO6_API void PESMO6_CALL ProgSerial(int32_t canal, int32_t baud, int32_t data_bits,
                                       int32_t paridade, int32_t stop_bits);

/* ---- Extensions -------------------------------------------------------- */

/* Maps serial port number 1..65535 to a device path.  0 stored, -1 rejected.
 * Without a mapping port n is /dev/ttyS(n-1) on Linux and COMn on Windows. */
PESMO6_API int32_t PESMO6_CALL Seta_Porta(uint32_t porta, const char* dispositivo);

/* Receives every trace line, on the calling thread.  Null turns it off. */
typedef void(PESMO6_CALL* Pesmo6LogCallback)(const char* linha);
PESMO6_API void PESMO6_CALL Seta_Log(Pesmo6LogCallback callback);

/* The message of the last failed validation (empty when none failed): a
 * registration, Seta_Ip or Seta_Porta that returned -1, a Select_Canal that
 * rejected its channel number. */
PESMO6_API const char* PESMO6_CALL Erro_Validacao(void);

/* The language of the library's texts (Erro_Validacao, Display_Erro):
 * 0 Brazilian Portuguese (the default), 1 English.  Texts composed after the
 * call use it; Portuguese lines end with LF CR, English ones as the platform's
 * (CR LF on Windows, LF elsewhere).  0 set, -1 for any other value, the
 * setting unchanged. */
PESMO6_API int32_t PESMO6_CALL Seta_Idioma(int32_t idioma);

/* Called once per pass of the event pump, on the calling thread; the host may
 * call any export from inside it.  Null turns it off.
 *
 * On Windows a wait also dispatches every message of the calling thread's
 * queue (PeekMessageW, TranslateMessage, DispatchMessageW): timers, messages
 * for the thread's windows, posted thread messages.  WM_QUIT is held: the
 * rest of the wait leaves the queue alone, and it is posted again, once, when
 * the outermost library call returns. */
typedef void(PESMO6_CALL* Pesmo6EventCallback)(void* contexto);
PESMO6_API void PESMO6_CALL Seta_Eventos(Pesmo6EventCallback callback, void* contexto);

/* The byte tap: every byte a channel receives (sentido 0) or sends
 * (sentido 1) is passed to the callback on the calling thread, in order;
 * received bytes before the driver sees them, sent bytes once written.
 * canal is the channel number, or -1 - converter number for the bytes of a
 * converter command exchange (DIO_*, ClrBufRx, ClrBufTx).  bytes is valid
 * for the call only.  The callback may call any export, as the Seta_Eventos
 * hook may; a channel closed or deleted from inside it takes no further
 * byte of that delivery.  Null turns it off (the default). */
typedef void(PESMO6_CALL* Pesmo6TrafficCallback)(int32_t canal, int32_t sentido, const uint8_t* bytes,
                                                  int32_t quantos);
PESMO6_API void PESMO6_CALL Seta_Trafego(Pesmo6TrafficCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* PESMO6_H */
