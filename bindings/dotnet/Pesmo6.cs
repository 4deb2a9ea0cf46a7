// Pesmo6.cs - P/Invoke declarations of the Pesmo6 weighing-indicator library
// and a small Scale wrapper.  .NET Framework 2.0 and later, Mono, .NET (Core).
//
// The library is Pesmo6.dll on Windows (stdcall on 32-bit: CallingConvention
// Winapi) and libpesmo6.so elsewhere (the platform convention); "pesmo6"
// finds either.  Texts come back as IntPtr into the library's storage: copy
// them at once with Pesmo6.Native.Text(ptr) (Windows-1252), never free them.
// They stay valid until the same field of the channel is next replaced.
//
// Call the library from one thread at a time.
using System;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;

namespace Pesmo6
{
    public static class Native
    {
        public const string Library = "pesmo6";
        const CallingConvention Call = CallingConvention.Winapi;

        // Update codes of Update_Canal, Update_NoMotion and LePesoConsecutivo.
        public const int LIDO = 0;         // a complete reading was stored
        public const int NADA = 1;         // nothing done, or no reading within the wait
        public const int SEM_PARADA = 2;   // no-motion update: no reading within the wait
        public const int SOBRECARGA = 3;   // reading stored, the indicator reports overload
        public const int NAO_ABRIU = 4;    // the port did not open within the start limit
        public const int TEMPO = 7;        // LePesoConsecutivo: time limit reached

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void LogCallback(IntPtr linha);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void EventCallback(IntPtr contexto);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void TrafficCallback(int canal, int sentido, IntPtr bytes, int quantos);

        // ---- Registration: the channel number, or -1 ----
        [DllImport(Library, CallingConvention = Call)] public static extern int W7410(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int W7410C(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int W7410Serial(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int W7410SerialC(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int WKVT(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int WKVTSerial(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int WOhaus(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int WOhausSerial(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int WTrilograf(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int WTrilografSerial(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int WMSI3360(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int WMSI3360Serial(uint porta);
        [DllImport(Library, CallingConvention = Call)] public static extern int WMSI6260(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int WMSI6260Serial(uint porta);

        // ---- Updates: an update code ----
        [DllImport(Library, CallingConvention = Call)] public static extern int Update_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern int Update_NoMotion(int canal, int esperaMs);
        [DllImport(Library, CallingConvention = Call)] public static extern int LePesoConsecutivo(int canal, int limiteS, int leituras);

        // ---- Readouts ----
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Gross_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Net_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Tare_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Tag_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Total_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Contadora_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Estado_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Estado_EmMovimento(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern double Gross_Canal_Float(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern double Net_Canal_Float(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern double Tare_Canal_Float(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Display_Erro(int canal);
        // Product, version, two empty texts, library name.
        [DllImport(Library, CallingConvention = Call)] public static extern void FirVer(out IntPtr produto, out IntPtr versao, out IntPtr reservado1, out IntPtr reservado2, out IntPtr biblioteca);

        // ---- Connections ----
        [DllImport(Library, CallingConvention = Call)] public static extern int Seta_Ip([MarshalAs(UnmanagedType.LPStr)] string endereco);
        [DllImport(Library, CallingConvention = Call)] public static extern int Select_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern void Close_Canal(int canal);
        [DllImport(Library, CallingConvention = Call)] public static extern void Deleta_Canal(int canal);

        // ---- Converter digital I/O and line buffers (one short connection each) ----
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_InPort(int conversor);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr DIO_InPortStr(int conversor);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_InBit(int conversor, int bit);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_InBitStr(int conversor, int bit);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_OutPort(int conversor, int valor);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_OutPortStr(int conversor, [MarshalAs(UnmanagedType.LPStr)] string padrao);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_OutBit(int conversor, int bit, int estado);
        [DllImport(Library, CallingConvention = Call)] public static extern int DIO_OutBitStr(int conversor, int bit, [MarshalAs(UnmanagedType.LPStr)] string estado);
        [DllImport(Library, CallingConvention = Call)] public static extern int ClrBufRx(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern int ClrBufTx(int conversor, [MarshalAs(UnmanagedType.LPStr)] string linha);
        [DllImport(Library, CallingConvention = Call)] public static extern void ProgSerial(int canal, int baud, int dataBits, int paridade, int stopBits);

        // ---- Extensions ----
        [DllImport(Library, CallingConvention = Call)] public static extern int Seta_Porta(uint porta, [MarshalAs(UnmanagedType.LPStr)] string dispositivo);
        // Keep the delegate alive (a static field) for as long as it is set.
        [DllImport(Library, CallingConvention = Call)] public static extern void Seta_Log(LogCallback callback);
        [DllImport(Library, CallingConvention = Call)] public static extern IntPtr Erro_Validacao();
        // 0 Portuguese (the default), 1 English; 0 set, -1 for any other value.
        [DllImport(Library, CallingConvention = Call)] public static extern int Seta_Idioma(int idioma);
        [DllImport(Library, CallingConvention = Call)] public static extern void Seta_Eventos(EventCallback callback, IntPtr contexto);

        // Exports of newer libraries only: calling one that the loaded library
        // lacks throws EntryPointNotFoundException (nothing is bound before).
        [DllImport(Library, CallingConvention = Call)] public static extern void Seta_Trafego(TrafficCallback callback);
        [DllImport(Library, CallingConvention = Call)] public static extern int Update_Canais(int[] canais, int quantos, int espera, [Out] int[] codigos);

        // Windows-1252 bytes 0x80-0x9F; the other bytes are their own code points.
        static readonly char[] High = {
            '\u20AC', '\u0081', '\u201A', '\u0192', '\u201E', '\u2026', '\u2020', '\u2021',
            '\u02C6', '\u2030', '\u0160', '\u2039', '\u0152', '\u008D', '\u017D', '\u008F',
            '\u0090', '\u2018', '\u2019', '\u201C', '\u201D', '\u2022', '\u2013', '\u2014',
            '\u02DC', '\u2122', '\u0161', '\u203A', '\u0153', '\u009D', '\u017E', '\u0178' };

        // A library text as a string: copied at once, decoded from Windows-1252
        // (done here so that no code-page provider is needed).
        public static string Text(IntPtr p)
        {
            if (p == IntPtr.Zero) return "";
            var sb = new StringBuilder();
            for (int i = 0; ; i++)
            {
                byte b = Marshal.ReadByte(p, i);
                if (b == 0) break;
                sb.Append(b >= 0x80 && b <= 0x9F ? High[b - 0x80] : (char)b);
            }
            return sb.ToString();
        }
    }

    // A registration the library refused; the message is Erro_Validacao's.
    public sealed class RegistrationException : InvalidOperationException
    {
        public RegistrationException(string message) : base(message) { }
    }

    // One indicator (a channel).  Dispose closes and deletes it; twice is harmless.
    //
    // Only an update that returned LIDO (0) or SOBRECARGA (3) leaves values:
    // after any other code (and before the first update) the readouts Gross,
    // Net, Tare, Status, Tag, Total, Raw, NetValue... are null, since the
    // library's texts then hold reset values ("0") that are no weight, and
    // Reason says why the update failed.
    public sealed class Scale : IDisposable
    {
        int channel;
        readonly bool converter;
        int lastCode = Native.NADA;
        string reason;
        static bool english;

        Scale(int channel, bool converter)
        {
            if (channel < 0) throw new RegistrationException(Native.Text(Native.Erro_Validacao()));
            this.channel = channel;
            this.converter = converter;
        }

        // The language of the library's messages and of the reasons here:
        // "pt" (Brazilian Portuguese, the default) or "en" (Seta_Idioma).
        public static void SetLanguage(string language)
        {
            int code = language == "pt" ? 0 : language == "en" ? 1 : -1;
            if (code < 0) throw new ArgumentException("language must be \"pt\" or \"en\"");
            Native.Seta_Idioma(code);
            english = code == 1;
        }

        // A 7410 (or another family) on serial port `port`; `device` maps the
        // port to a path first (/dev/ttyUSB0, COM3).
        public static Scale Serial(string family, uint port, string device = null)
        {
            if (!string.IsNullOrEmpty(device) && Native.Seta_Porta(port, device) != 0)
                throw new ArgumentException(Native.Text(Native.Erro_Validacao()));
            switch (family.ToUpperInvariant())
            {
                case "7410": return new Scale(Native.W7410Serial(port), false);
                case "KVT": return new Scale(Native.WKVTSerial(port), false);
                case "OHAUS": return new Scale(Native.WOhausSerial(port), false);
                case "TRILOGRAF": return new Scale(Native.WTrilografSerial(port), false);
                case "MSI3360": return new Scale(Native.WMSI3360Serial(port), false);
                case "MSI6260": return new Scale(Native.WMSI6260Serial(port), false);
            }
            throw new ArgumentException("unknown family " + family);
        }

        // An indicator on line "A".."D" of the converter at `address`.
        public static Scale OnConverter(string address, string family, string line)
        {
            int conv = Native.Seta_Ip(address);
            if (conv < 0) throw new ArgumentException("converter address longer than 16 characters");
            switch (family.ToUpperInvariant())
            {
                case "7410": return new Scale(Native.W7410(conv, line), true);
                case "KVT": return new Scale(Native.WKVT(conv, line), true);
                case "OHAUS": return new Scale(Native.WOhaus(conv, line), true);
                case "TRILOGRAF": return new Scale(Native.WTrilograf(conv, line), true);
                case "MSI3360": return new Scale(Native.WMSI3360(conv, line), true);
                case "MSI6260": return new Scale(Native.WMSI6260(conv, line), true);
            }
            throw new ArgumentException("unknown family " + family);
        }

        public int Channel { get { return channel; } }

        int Live()
        {
            if (channel < 0) throw new ObjectDisposedException("Scale");
            return channel;
        }

        // An update code; a converter line is connected first (Select_Canal):
        // one that cannot be gives NADA with its Reason without updating (at
        // once when the converter refuses, within 5 s when it does not
        // answer).  noMotionMs >= 0 asks for a reading without motion.
        public int Update(int noMotionMs = -1)
        {
            int ch = Live();
            if (converter && Native.Select_Canal(ch) != 1)
                return Ended(Native.NADA, english ? "no connection to the converter line"
                                                  : "sem conex\u00e3o com a linha do conversor");
            return Ended(noMotionMs < 0 ? Native.Update_Canal(ch) : Native.Update_NoMotion(ch, noMotionMs), null);
        }

        public int Stable(int count = 5, int limitS = 10)
        {
            // LePesoConsecutivo connects a converter line by itself.
            return Ended(Native.LePesoConsecutivo(Live(), limitS, count), null);
        }

        // Records the code and, for a failure, its reason: the library's
        // (Display_Erro, read once right after), else `fallback` or what the
        // code means.
        int Ended(int code, string fallback)
        {
            lastCode = code;
            reason = null;
            if (Valid) return code;
            reason = Native.Text(Native.Display_Erro(channel));
            // TEMPO: readings came but none stable, so no update's reason applies.
            if (reason.Length == 0 || code == Native.TEMPO) reason = fallback ?? CodeText(code);
            return code;
        }

        static string CodeText(int code)
        {
            switch (code)
            {
                case Native.NADA: return english ? "no reading within the wait" : "nenhuma leitura dentro do tempo de espera";
                case Native.SEM_PARADA: return english ? "no reading without motion within the wait"
                                                       : "nenhuma leitura sem movimento dentro do tempo de espera";
                case Native.NAO_ABRIU: return english ? "the port did not open within the start limit (missing, or in use by another program)"
                                                      : "a porta n\u00e3o abriu dentro do limite (inexistente, ou em uso por outro programa)";
                case Native.TEMPO: return english ? "no stable weight within the time limit" : "nenhum peso est\u00e1vel dentro do tempo limite";
            }
            return (english ? "update code " : "c\u00f3digo ") + code;
        }

        // The code of the last Update or Stable (NADA before the first).
        public int LastCode { get { return lastCode; } }
        // True when the last update stored a reading (LIDO or SOBRECARGA).
        public bool Valid { get { return lastCode == Native.LIDO || lastCode == Native.SOBRECARGA; } }
        // Why the last update failed; null when it stored a reading.
        public string Reason { get { Live(); return Valid ? null : (reason ?? CodeText(lastCode)); } }

        delegate IntPtr Readout(int canal);

        string Field(Readout readout)
        {
            int ch = Live();
            return Valid ? Native.Text(readout(ch)) : null;
        }

        public string Gross { get { return Field(Native.Gross_Canal); } }
        public string Net { get { return Field(Native.Net_Canal); } }
        public string Tare { get { return Field(Native.Tare_Canal); } }
        public string Status { get { return Field(Native.Estado_Canal); } }
        // Null unless the last update stored a reading.
        public bool? Motion { get { string m = Field(Native.Estado_EmMovimento); return m == null ? (bool?)null : m == "S"; } }
        public string Tag { get { return Field(Native.Tag_Canal); } }
        public string Total { get { return Field(Native.Total_Canal); } }
        public string Raw { get { return Field(Native.Contadora_Canal); } }

        // A weight text as a decimal, whichever separator it carries; null when
        // it is no number ("EEEEEEEEEE") or null.
        public static decimal? Value(string text)
        {
            if (text == null) return null;
            decimal d;
            string t = text.Replace(" ", "").Replace(',', '.');
            if (decimal.TryParse(t, NumberStyles.AllowLeadingSign | NumberStyles.AllowDecimalPoint,
                                 CultureInfo.InvariantCulture, out d)) return d;
            return null;
        }

        public decimal? NetValue { get { return Value(Net); } }
        public decimal? GrossValue { get { return Value(Gross); } }
        public decimal? TareValue { get { return Value(Tare); } }

        public void Dispose()
        {
            if (channel < 0) return;
            int ch = channel;
            channel = -1;
            Native.Close_Canal(ch);
            Native.Deleta_Canal(ch);
        }
    }
}
