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

    // One indicator (a channel).  Dispose closes and deletes it; twice is harmless.
    public sealed class Scale : IDisposable
    {
        int channel;
        readonly bool converter;

        Scale(int channel, bool converter)
        {
            if (channel < 0) throw new InvalidOperationException(Native.Text(Native.Erro_Validacao()));
            this.channel = channel;
            this.converter = converter;
        }

        // A 7410 (or another family) on serial port `port`; `device` maps the
        // port to a path first (/dev/ttyUSB0, COM3).
        public static Scale Serial(string family, uint port, string device = null)
        {
            if (!string.IsNullOrEmpty(device) && Native.Seta_Porta(port, device) != 0)
                throw new ArgumentException("port must be 1..65535 and the device not empty");
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

        // An update code; a converter line is connected first (NADA at once
        // when it cannot be).  noMotionMs >= 0 asks for a reading without motion.
        public int Update(int noMotionMs = -1)
        {
            int ch = Live();
            if (converter && Native.Select_Canal(ch) != 1) return Native.NADA;
            return noMotionMs < 0 ? Native.Update_Canal(ch) : Native.Update_NoMotion(ch, noMotionMs);
        }

        public int Stable(int count = 5, int limitS = 10)
        {
            // LePesoConsecutivo connects a converter line by itself.
            return Native.LePesoConsecutivo(Live(), limitS, count);
        }

        public string Gross { get { return Native.Text(Native.Gross_Canal(Live())); } }
        public string Net { get { return Native.Text(Native.Net_Canal(Live())); } }
        public string Tare { get { return Native.Text(Native.Tare_Canal(Live())); } }
        public string Status { get { return Native.Text(Native.Estado_Canal(Live())); } }
        public bool Motion { get { return Native.Text(Native.Estado_EmMovimento(Live())) == "S"; } }
        public string Tag { get { return Native.Text(Native.Tag_Canal(Live())); } }
        public string Total { get { return Native.Text(Native.Total_Canal(Live())); } }
        public string Raw { get { return Native.Text(Native.Contadora_Canal(Live())); } }

        // A weight text as a decimal, whichever separator it carries; null when
        // it is no number ("EEEEEEEEEE").
        public static decimal? Value(string text)
        {
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
