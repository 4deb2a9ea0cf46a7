// Exemplo: reads one 7410 indicator through Pesmo6.cs.
//   mcs -out:exemplo.exe Pesmo6.cs Exemplo.cs
//   mono exemplo.exe DEVICE | mono exemplo.exe --converter IP LINE
using System;
using Pesmo6;

static class Exemplo
{
    static int Main(string[] args)
    {
        IntPtr produto, versao, r1, r2, nome;
        Native.FirVer(out produto, out versao, out r1, out r2, out nome);
        Console.WriteLine("library {0} {1}", Native.Text(nome), Native.Text(versao));

        Scale scale;
        if (args.Length == 1) scale = Scale.Serial("7410", 1, args[0]);
        else if (args.Length == 3 && args[0] == "--converter") scale = Scale.OnConverter(args[1], "7410", args[2]);
        else
        {
            Console.Error.WriteLine("usage: exemplo DEVICE | exemplo --converter IP LINE");
            return 2;
        }
        using (scale)
        {
            int code = scale.Update();
            if (!scale.Valid)
            {
                // No weight: the readouts are null; say why.
                Console.WriteLine("code {0} reason {1}", code, scale.Reason);
                return 1;
            }
            Console.WriteLine("code {0} net [{1}] gross [{2}] tare [{3}] status {4} motion {5}", code, scale.Net,
                              scale.Gross, scale.Tare, scale.Status, scale.Motion == true ? "S" : "N");
            int stable = scale.Stable(2, 5);
            decimal? net = scale.NetValue;
            Console.WriteLine("stable {0} net {1}", stable,
                              net.HasValue ? net.Value.ToString(System.Globalization.CultureInfo.InvariantCulture) : "none");
        }
        return 0;
    }
}
