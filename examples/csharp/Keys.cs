// Keys: pressed letter keys light up red, released ones go dark, for a while or until Ctrl-C.
//
//   mono Keys.exe [SECONDS]
//
// The C# twin of keys.cpp: key presses as a .NET event, asynchronous sets, and how to come back after the
// server has gone away (a new handshake; the binding registers the event again by itself).
using System;
using System.Threading;
using Veltari;

internal static class Keys
{
    private static readonly int[] LetterLeds = new int[26]; // LED id of each letter key, 0 when unknown
    private static int events;

    private static void OnKey(object sender, KeyEventArgs key)
    {
        // This runs on a thread of the library: no engine or UI objects here, and never block it.
        Interlocked.Increment(ref events);
        Console.WriteLine("key {0} {1}", key.KeyId, key.Pressed ? "down" : "up");
        // The reference server reports letter keys by their upper-case character code.
        int led = key.KeyId >= 'A' && key.KeyId <= 'Z' ? Volatile.Read(ref LetterLeds[key.KeyId - 'A']) : 0;
        if (led > 0)
        {
            // Queued, sent by the library within 10 ms; the task is not awaited here.
            Lighting.SetColorsAsync(new[] { new LedColor(led, key.Pressed ? 255 : 0, 0, 0) });
        }
    }

    private static bool Connect()
    {
        try
        {
            ProtocolDetails details = Lighting.Handshake();
            for (char letter = 'A'; letter <= 'Z'; ++letter)
            {
                Volatile.Write(ref LetterLeds[letter - 'A'], Lighting.GetLedIdForKey(letter));
            }
            Console.WriteLine("connected to {0}; press keys", details.ServerVersion);
            return true;
        }
        catch (VeltariException error)
        {
            Console.Error.WriteLine("Keys: {0}", error.Message);
            return false;
        }
    }

    private static int Main(string[] args)
    {
        int seconds = args.Length > 0 ? int.Parse(args[0]) : 0;
        var stop = new ManualResetEventSlim();
        Console.CancelKeyPress += (sender, e) => { e.Cancel = true; stop.Set(); };
        Lighting.HandlerException += (sender, e) => Console.Error.WriteLine("handler failed: {0}", e.Exception);
        if (!Connect())
        {
            return 1;
        }
        try
        {
            Lighting.KeyPressed += OnKey;
        }
        catch (VeltariException error)
        {
            Console.Error.WriteLine("Keys: the server does not send key presses ({0})", error.Message);
            return 1;
        }
        DateTime end = DateTime.UtcNow.AddSeconds(seconds);
        while (!stop.Wait(500) && (seconds == 0 || DateTime.UtcNow < end))
        {
            try
            {
                // Key events only arrive; a cheap request tells whether the server is still there.
                Lighting.DeviceCount();
            }
            catch (ServerUnreachableException)
            {
                Console.WriteLine("server lost, performing the handshake again");
                while (!stop.IsSet && !Connect())
                {
                    stop.Wait(1000);
                }
            }
        }
        Console.WriteLine("{0} key events", Volatile.Read(ref events));
        return 0;
    }
}
