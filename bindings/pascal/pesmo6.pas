{ pesmo6.pas - import unit of the Pesmo6 weighing-indicator library.

  Delphi 7 and later, Free Pascal 3 (any mode).  On Windows the library is
  Pesmo6.dll with stdcall exports under their plain names; elsewhere it is
  libpesmo6.so with the C convention (link with -Fl<dir of libpesmo6.so>).

  Texts are PAnsiChar in Windows-1252.  A returned text belongs to the
  library and stays valid until the same field of the same channel is
  replaced (its next update, Close_Canal, Deleta_Canal): copy it into a
  string at once (S := Net_Canal(Canal)).  Never free it.  A nil text
  argument counts as an empty text.

  Call the library from one thread at a time.  Waits run the thread's
  message loop on Windows and the hook of Seta_Eventos everywhere. }
unit pesmo6;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$PACKRECORDS C}
{$ENDIF}

interface

{$IFNDEF FPC}
  {$IF CompilerVersion < 20}
type
  { Delphi before 2009 names the fixed-size integers differently. }
  Int32 = LongInt;
  UInt32 = LongWord;
  {$IFEND}
{$ENDIF}

const
{$IFDEF MSWINDOWS}
  Pesmo6Lib = 'Pesmo6.dll';
{$ELSE}
  Pesmo6Lib = 'pesmo6';
{$ENDIF}

  { Update codes of Update_Canal, Update_NoMotion and LePesoConsecutivo. }
  PESMO6_LIDO = 0;         { a complete reading was stored }
  PESMO6_NADA = 1;         { nothing done, or no reading within the wait }
  PESMO6_SEM_PARADA = 2;   { no-motion update: no reading within the wait }
  PESMO6_SOBRECARGA = 3;   { reading stored, the indicator reports overload }
  PESMO6_NAO_ABRIU = 4;    { the port did not open within the start limit }
  PESMO6_TEMPO = 7;        { LePesoConsecutivo: time limit reached }

type
  TPesmo6LogCallback = procedure(Linha: PAnsiChar); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF};
  TPesmo6EventCallback = procedure(Contexto: Pointer); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF};

{ ---- Registration: the channel number, or -1 ---------------------------- }
function W7410(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function W7410C(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function W7410Serial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function W7410SerialC(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WKVT(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WKVTSerial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WOhaus(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WOhausSerial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WTrilograf(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WTrilografSerial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WMSI3360(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WMSI3360Serial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WMSI6260(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function WMSI6260Serial(Porta: UInt32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- Updates: an update code ------------------------------------------- }
function Update_Canal(Canal: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Update_NoMotion(Canal: Int32; EsperaMs: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function LePesoConsecutivo(Canal: Int32; LimiteS: Int32; Leituras: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- Readouts ------------------------------------------------------------ }
function Gross_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Net_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Tare_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Tag_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Total_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Contadora_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Estado_Canal(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Estado_EmMovimento(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Gross_Canal_Float(Canal: Int32): Double; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Net_Canal_Float(Canal: Int32): Double; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Tare_Canal_Float(Canal: Int32): Double; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Display_Erro(Canal: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
{ Product, version, two empty texts, library name. }
procedure FirVer(var Produto, Versao, Reservado1, Reservado2, Biblioteca: PAnsiChar); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- Connections ------------------------------------------------------- }
function Seta_Ip(Endereco: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Select_Canal(Canal: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
procedure Close_Canal(Canal: Int32); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
procedure Deleta_Canal(Canal: Int32); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- Converter digital I/O and line buffers (one short connection each) -- }
function DIO_InPort(Conversor: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_InPortStr(Conversor: Int32): PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_InBit(Conversor: Int32; Bit: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_InBitStr(Conversor: Int32; Bit: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_OutPort(Conversor: Int32; Valor: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_OutPortStr(Conversor: Int32; Padrao: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_OutBit(Conversor: Int32; Bit: Int32; Estado: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function DIO_OutBitStr(Conversor: Int32; Bit: Int32; Estado: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function ClrBufRx(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function ClrBufTx(Conversor: Int32; Linha: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
procedure ProgSerial(Canal: Int32; Baud: Int32; DataBits: Int32; Paridade: Int32; StopBits: Int32); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- Extensions -------------------------------------------------------- }
function Seta_Porta(Porta: UInt32; Dispositivo: PAnsiChar): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
procedure Seta_Log(Callback: TPesmo6LogCallback); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Erro_Validacao: PAnsiChar; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
{ 0 Portuguese (the default), 1 English; 0 set, -1 for any other value. }
function Seta_Idioma(Idioma: Int32): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
procedure Seta_Eventos(Callback: TPesmo6EventCallback; Contexto: Pointer); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ The byte tap and the multi-channel update. }
type
  TPesmo6TrafficCallback = procedure(Canal: Int32; Sentido: Int32; Bytes: PByte; Quantos: Int32); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF};
procedure Seta_Trafego(Callback: TPesmo6TrafficCallback); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;
function Update_Canais(Canais: PInteger; Quantos: Int32; Espera: Int32; Codigos: PInteger): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Pesmo6Lib;

{ ---- One update, with no weight left behind when it fails ------------------ }
type
  { What one update left.  Only a reading with Valida (code PESMO6_LIDO or
    PESMO6_SOBRECARGA) carries texts: after any other code they are empty,
    since the library's texts then hold reset values ("0") that are no
    weight, and Motivo says why the update failed. }
  TPesmo6Leitura = record
    Codigo: Int32;
    Valida: Boolean;
    Bruto, Liquido, Tara, Estado, EmMovimento, Tag, Total: AnsiString;
    Motivo: AnsiString;
  end;

{ Connects a converter line (Select_Canal; nothing to do on a serial port),
  then updates: EsperaMs -1 as Update_Canal, >= 0 as Update_NoMotion.  A line
  that cannot be connected gives PESMO6_NADA with its reason, without
  updating.  Motivo is the library's (Display_Erro, read right after the
  failure) or, when it names none, what the code means. }
function Pesmo6Atualiza(Canal: Int32; EsperaMs: Int32 = -1): TPesmo6Leitura;

implementation

function TextoDoCodigo(Codigo: Int32): AnsiString;
begin
  case Codigo of
    PESMO6_NADA: Result := 'nenhuma leitura dentro do tempo de espera';
    PESMO6_SEM_PARADA: Result := 'nenhuma leitura sem movimento dentro do tempo de espera';
    PESMO6_NAO_ABRIU: Result := 'a porta n'#227'o abriu dentro do limite (inexistente, ou em uso por outro programa)';
    PESMO6_TEMPO: Result := 'nenhum peso est'#225'vel dentro do tempo limite';
  else
    Result := 'falha na leitura';
  end;
end;

function Pesmo6Atualiza(Canal: Int32; EsperaMs: Int32): TPesmo6Leitura;
begin
  Result.Valida := False;
  Result.Bruto := ''; Result.Liquido := ''; Result.Tara := ''; Result.Estado := '';
  Result.EmMovimento := ''; Result.Tag := ''; Result.Total := ''; Result.Motivo := '';
  if Select_Canal(Canal) <> 1 then
  begin
    Result.Codigo := PESMO6_NADA;
    Result.Motivo := Display_Erro(Canal);
    if Result.Motivo = '' then Result.Motivo := 'sem conex'#227'o com a linha do conversor';
    Exit;
  end;
  if EsperaMs < 0 then
    Result.Codigo := Update_Canal(Canal)
  else
    Result.Codigo := Update_NoMotion(Canal, EsperaMs);
  Result.Valida := (Result.Codigo = PESMO6_LIDO) or (Result.Codigo = PESMO6_SOBRECARGA);
  if Result.Valida then
  begin
    Result.Bruto := Gross_Canal(Canal);
    Result.Liquido := Net_Canal(Canal);
    Result.Tara := Tare_Canal(Canal);
    Result.Estado := Estado_Canal(Canal);
    Result.EmMovimento := Estado_EmMovimento(Canal);
    Result.Tag := Tag_Canal(Canal);
    Result.Total := Total_Canal(Canal);
  end
  else
  begin
    Result.Motivo := Display_Erro(Canal);
    if Result.Motivo = '' then Result.Motivo := TextoDoCodigo(Result.Codigo);
  end;
end;

end.
