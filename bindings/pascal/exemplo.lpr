{ exemplo - reads one 7410 indicator through the Pesmo6 import unit.

    exemplo DEVICE                 a serial device (/dev/ttyUSB0, COM3)
    exemplo --converter IP LINE    line A..D of a converter

  Build: fpc -Fl<dir of libpesmo6.so> exemplo.lpr   (Delphi: dcc32 exemplo.lpr) }
program exemplo;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
  SysUtils, pesmo6;

var
  Canal, Conversor, Codigo: Int32;
  Leitura: TPesmo6Leitura;
  Produto, Versao, R1, R2, Nome: PAnsiChar;
  Dispositivo, Endereco, Linha: AnsiString;
begin
  if (ParamCount = 1) then
    Dispositivo := ParamStr(1)
  else if (ParamCount = 3) and (ParamStr(1) = '--converter') then
  begin
    Endereco := ParamStr(2);
    Linha := ParamStr(3);
  end
  else
  begin
    WriteLn('usage: exemplo DEVICE | exemplo --converter IP LINE');
    Halt(2);
  end;

  FirVer(Produto, Versao, R1, R2, Nome);
  WriteLn('library ', Nome, ' ', Versao);

  if Dispositivo <> '' then
  begin
    if Seta_Porta(1, PAnsiChar(Dispositivo)) <> 0 then Halt(1);
    Canal := W7410Serial(1);
  end
  else
  begin
    Conversor := Seta_Ip(PAnsiChar(Endereco));
    Canal := W7410(Conversor, PAnsiChar(Linha));
  end;
  if Canal < 0 then
  begin
    WriteLn('registration failed: ', Erro_Validacao);
    Halt(1);
  end;

  Leitura := Pesmo6Atualiza(Canal);   { Select_Canal, then Update_Canal }
  Codigo := Leitura.Codigo;
  if Leitura.Valida then
  begin
    WriteLn('code ', Codigo, ' net [', Leitura.Liquido, '] gross [', Leitura.Bruto,
            '] tare [', Leitura.Tara, '] status ', Leitura.Estado, ' motion ', Leitura.EmMovimento);
    { A weight only after code 0 (or 3): Net_Canal_Float reads 0.0 after a failure too. }
    if LePesoConsecutivo(Canal, 5, 2) = PESMO6_LIDO then
      WriteLn('stable 0 net ', Net_Canal_Float(Canal):0:2)
    else
      WriteLn('no stable weight');
  end
  else
    WriteLn('code ', Codigo, ' reason ', Leitura.Motivo);
  Close_Canal(Canal);
  Deleta_Canal(Canal);
  if Codigo <> PESMO6_LIDO then Halt(1);
end.
