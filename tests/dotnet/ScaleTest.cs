// The C# Scale against the library: a failed update carries no value but its
// code and reason; refused registrations throw what docs/bindings.md names.
//   mono scaletest.exe DEVICE     (a simulated 7410 on DEVICE)
using System;
using Pesmo6;

static class ScaleTest
{
    static int failed;

    static void Check(bool ok, string what)
    {
        if (ok) return;
        failed++;
        Console.WriteLine("FAILED: " + what);
    }

    static int Main(string[] args)
    {
        using (var good = Scale.Serial("7410", 4101, args[0]))
        {
            Check(!good.Valid && good.Net == null && good.NetValue == null && good.Motion == null, "no values before the first update");
            Check(good.Update() == Native.LIDO && good.Valid && good.Reason == null, "a good update");
            Check(good.NetValue == 123.45m && good.Motion == false, "its values: " + good.Net);
        }
        using (var missing = Scale.Serial("MSI3360", 4102, "/dev/pesmo6-no-such-device"))
        {
            int code = missing.Update();
            Check(code == Native.NAO_ABRIU && missing.LastCode == code, "a missing port gives 4, not " + code);
            Check(!missing.Valid && missing.Net == null && missing.Gross == null && missing.Status == null, "no texts after a failure");
            Check(missing.NetValue == null && missing.TareValue == null, "no values after a failure");
            Check(!string.IsNullOrEmpty(missing.Reason), "a reason");
        }
        try
        {
            Scale.OnConverter("127.0.0.1", "7410", "E").Dispose();
            Check(false, "line E registered");
        }
        catch (RegistrationException e)
        {
            Check(e.Message.StartsWith("O canal (E) n\u00e3o existe"), "Portuguese message: " + e.Message);
        }
        Scale.SetLanguage("en");
        try
        {
            Scale.OnConverter("127.0.0.1", "7410", "E").Dispose();
            Check(false, "line E registered");
        }
        catch (InvalidOperationException e)
        {
            Check(e.Message == "Converter line (E) does not exist.\nUse line A, B, C or D.", "English message: " + e.Message);
        }
        try
        {
            Scale.Serial("7410", 70000, "/dev/ttyUSB0");
            Check(false, "port 70000 mapped");
        }
        catch (ArgumentException e)
        {
            Check(e.Message == "Serial port number 70000 is above 65535.", "Seta_Porta's message: " + e.Message);
        }
        try
        {
            Scale.SetLanguage("de");
            Check(false, "language de accepted");
        }
        catch (ArgumentException)
        {
        }
        Scale.SetLanguage("pt");
        Console.WriteLine(failed == 0 ? "scale tests: passed" : "scale tests: " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
